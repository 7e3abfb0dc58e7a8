#include "net/Poller.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace ordwin {

Poller::Poller() : epfd_(::epoll_create1(EPOLL_CLOEXEC)), events_(kMaxReady) {
  if (epfd_ < 0) throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
}

Poller::~Poller() { ::close(epfd_); }

bool Poller::Watching(int Fd) const {
  return Fd >= 0 && static_cast<size_t>(Fd) < interest_.size() && interest_[Fd] != 0;
}

int Poller::Update(int Fd, uint32_t Events) {
  if (Fd < 0) return EBADF;
  if (static_cast<size_t>(Fd) >= interest_.size()) interest_.resize(Fd + 1, 0);
  uint32_t& current = interest_[Fd];
  if (current == Events) return 0;
  epoll_event ev{};
  ev.events = Events;
  ev.data.fd = Fd;
  int op = current == 0 ? EPOLL_CTL_ADD : (Events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD);
  if (::epoll_ctl(epfd_, op, Fd, &ev) < 0) {
    int err = errno;
    // A descriptor closed behind our back has already left the kernel's set: forget it too.
    if (err == EBADF || err == ENOENT) {
      if (current != 0) --count_;
      current = 0;
      if (op == EPOLL_CTL_DEL) return 0;
    }
    return err;
  }
  if (current == 0) ++count_;
  if (Events == 0) --count_;
  current = Events;
  return 0;
}

void Poller::Wait(int TimeoutMs, std::vector<epoll_event>& Ready) {
  Ready.clear();
  int n = ::epoll_wait(epfd_, events_.data(), static_cast<int>(events_.size()), TimeoutMs);
  if (n <= 0) return;
  Ready.assign(events_.begin(), events_.begin() + n);

}

}  // namespace ordwin
