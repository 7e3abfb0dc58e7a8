#include "net/Poller.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <system_error>
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
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(TimeoutMs, 0));
  for (;;) {
    int n = ::epoll_wait(epfd_, events_.data(), static_cast<int>(events_.size()), TimeoutMs);
    if (n >= 0) {
      Ready.assign(events_.begin(), events_.begin() + n);
      return;
    }
    // Any failure but a signal means the set itself is broken; taking it for "nothing ready"
    // would spin the loop silently.
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "epoll_wait");
    if (TimeoutMs > 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      TimeoutMs = static_cast<int>(std::max<decltype(left)>(left, 0));
    }
  }
}

}  // namespace ordwin
