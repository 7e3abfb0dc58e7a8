// The loop's lingering closes: a connection whose owner closed it with linger on and a timeout
// waits here, shut down, for the peer's close or the timeout, instead of in a close that would
// block the loop's thread for up to that long (Linux's close waits even on a non-blocking socket).
#include "net/EventLoop.h"

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>

#include "net/SelectEvents.h"

namespace ordwin {

void TEventLoop::CloseLingering(TDescriptor socket, int timeoutMs) {
  const int fd = socket.Get();
  if (fd < 0) return;
  linger off{};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof(off));
  if (static_cast<size_t>(fd) >= regs_.size()) regs_.resize(fd + 1);
  TRegistration& r = regs_[fd];
  r = TRegistration{};
  r.Serial = nextSerial_++;
  r.Events = FD_READ | FD_CLOSE;
  r.Type = TKind::kdLingering;
  if (UpdateInterest(fd, r) != 0) {
    r = TRegistration{};
    return;  // not watchable: closed at once, still without blocking
  }
  lingering_.push_back(
      TLingering{std::move(socket), TClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0))});
  if (depth_ == 0) Wake();  // an embedding poller must learn the new timeout
}

void TEventLoop::HandleLingering(int fd, uint32_t revents) {
  bool ended = revents & (EPOLLERR | EPOLLHUP);
  char discard[4096];
  while (!ended) {
    ssize_t n = ::recv(fd, discard, sizeof(discard), MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    ended = true;  // the end of the stream, or the connection failed
  }
  FinishLingering(fd);
}

void TEventLoop::CloseOverdueLingering() {
  const auto now = TClock::now();
  std::vector<int> overdue;
  for (const TLingering& l : lingering_)
    if (l.Due <= now) overdue.push_back(l.Socket.Get());
  for (int fd : overdue) FinishLingering(fd);
}

void TEventLoop::FinishLingering(int fd) {
  poller_.Update(fd, 0);
  regs_[fd] = TRegistration{};
  std::erase_if(lingering_, [fd](const TLingering& l) { return l.Socket.Get() == fd; });
  FeedStarved();  // a descriptor is given up: a listener that wanted one may accept again
}

}  // namespace ordwin
