#include "net/Poller.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace ordwin {

TPoller::TPoller() : epfd_(::epoll_create1(EPOLL_CLOEXEC)), events_(kMaxReady) {
  if (!epfd_.Valid()) throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
}

TPoller::~TPoller() = default;

int TPoller::Update(int fd, uint32_t events) {
  if (fd < 0) return EBADF;
  if (static_cast<size_t>(fd) >= interest_.size()) interest_.resize(fd + 1, 0);
  uint32_t& current = interest_[fd];
  if (current == events) return 0;
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  int op = current == 0 ? EPOLL_CTL_ADD : (events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD);
  if (::epoll_ctl(epfd_.Get(), op, fd, &ev) < 0) {
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
  if (events == 0) --count_;
  current = events;
  return 0;
}

void TPoller::Wait(int timeoutMs, std::vector<epoll_event>& ready) {
  ready.clear();
  using TClock = std::chrono::steady_clock;
  const auto deadline = TClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    int n = ::epoll_wait(epfd_.Get(), events_.data(), static_cast<int>(events_.size()), timeoutMs);
    if (n >= 0) {
      ready.assign(events_.begin(), events_.begin() + n);
      return;
    }
    // Any failure but a signal means the set itself is broken; taking it for "nothing ready"
    // would spin the loop silently.
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "epoll_wait");
    if (timeoutMs > 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
      timeoutMs = static_cast<int>(std::max<decltype(left)>(left, 0));
    }
  }
}

}  // namespace ordwin
