// The loop's readiness set: what each watched descriptor asked for, turned into epoll interest,
// and epoll's readiness turned into socket notifications (WM_ASYNCSELECT) the way each kind of
// descriptor reports them.
#include "net/EventLoop.h"

#include <sys/socket.h>

#include "net/SelectEvents.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

int SocketIntOption(int fd, int option, int& value) {
  socklen_t len = sizeof(value);
  return ::getsockopt(fd, SOL_SOCKET, option, &value, &len);
}

uint32_t PendingSocketError(int fd) {
  int err = 0;
  if (SocketIntOption(fd, SO_ERROR, err) < 0) err = errno;
  return static_cast<uint32_t>(WSocketErrorFromErrno(err));
}

}  // namespace

TEventLoop::TRegistration* TEventLoop::Find(int fd) {
  if (fd < 0 || static_cast<size_t>(fd) >= regs_.size()) return nullptr;
  TRegistration& r = regs_[fd];
  return r.Serial != 0 ? &r : nullptr;
}

int TEventLoop::WatchedDescriptors() const {
  int n = 0;
  for (const TRegistration& r : regs_)
    if (r.Serial != 0) ++n;
  return n;
}

int TEventLoop::AsyncSelect(int fd, TEndpointId id, uint32_t events, bool accepted) {
  if (fd < 0) return WSAENOTSOCK;
  if (static_cast<size_t>(fd) >= regs_.size()) regs_.resize(fd + 1);
  TRegistration& r = regs_[fd];
  r = TRegistration{};
  if (events == 0) {
    int err = WSocketErrorFromErrno(poller_.Update(fd, 0));
    FeedStarved();  // the descriptor is given up: a listener that wanted one may accept again
    return err;
  }
  r.Serial = nextSerial_++;
  r.Target = id;
  r.Events = events;

  // A socket that can send reports write at once, as a fresh connection does.
  bool canSend = true;
  int type = 0, listening = 0;
  if (accepted) {
    r.Type = TKind::kdStream;
  } else if (SocketIntOption(fd, SO_TYPE, type) < 0) {
    r.Type = TKind::kdOther;
    canSend = false;
  } else if (type == SOCK_DGRAM) {
    r.Type = TKind::kdDatagram;
  } else if (SocketIntOption(fd, SO_ACCEPTCONN, listening) == 0 && listening) {
    r.Type = TKind::kdListener;
    r.AcceptArmed = true;
    canSend = false;
  } else {
    r.Type = TKind::kdStream;
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    canSend = ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
  }
  int err = UpdateInterest(fd, r);
  if (err != 0) {
    r = TRegistration{};
    return err;
  }
  if (canSend && (events & FD_WRITE)) Report(fd, r, FD_WRITE, 0);
  return 0;
}

void TEventLoop::WatchWrite(int fd) {
  TRegistration* r = Find(fd);
  if (r == nullptr || r->WriteArmed) return;
  r->WriteArmed = true;
  UpdateInterest(fd, *r);
}

void TEventLoop::WatchConnect(int fd) {
  TRegistration* r = Find(fd);
  if (r == nullptr || r->Type != TKind::kdStream) return;
  r->Type = TKind::kdConnecting;
  // A connect that ended while nobody watched (its socket paused) has queued a write report.
  r->Serial = nextSerial_++;
  UpdateInterest(fd, *r);
}

void TEventLoop::PostReport(int fd, uint32_t events) {
  TRegistration* r = Find(fd);
  if (r == nullptr) return;
  Report(fd, *r, events, 0);
  if (depth_ == 0) Wake();
}

int TEventLoop::WatchDescriptor(int fd, TEndpointId id, uint32_t events) {
  if (fd < 0) return WSAENOTSOCK;
  if (static_cast<size_t>(fd) >= regs_.size()) regs_.resize(fd + 1);
  TRegistration& r = regs_[fd];
  bool same =
      r.Serial != 0 && r.Type == TKind::kdRaw && r.Target.Slot == id.Slot && r.Target.Generation == id.Generation;
  if (events == 0) return AsyncSelect(fd, id, 0);
  // A change of interest keeps the registration, and so the reports already queued.
  if (!same) {
    r = TRegistration{};
    r.Serial = nextSerial_++;
    r.Target = id;
    r.Type = TKind::kdRaw;
  }
  r.Events = events;
  int err = UpdateInterest(fd, r);
  if (err != 0) r = TRegistration{};
  return err;
}

void TEventLoop::AcceptDone(int fd) {
  TRegistration* r = Find(fd);
  if (r == nullptr || r->Type != TKind::kdListener || r->AcceptArmed) return;
  r->AcceptArmed = true;
  UpdateInterest(fd, *r);
}

void TEventLoop::AcceptStarved(int fd) {
  TRegistration* r = Find(fd);
  if (r == nullptr || r->Type != TKind::kdListener || r->Starved) return;
  r->Starved = true;
  if (starved_.empty()) starvedRetry_ = TClock::now() + std::chrono::milliseconds(kStarvedRetryMs);
  starved_.push_back(fd);
  UpdateInterest(fd, *r);  // no report until fed: a pending connection would report every wait
}

void TEventLoop::FeedStarved() {
  if (starved_.empty()) return;
  std::vector<int> starved;
  starved.swap(starved_);
  for (int fd : starved) {
    TRegistration* r = Find(fd);
    if (r == nullptr || !r->Starved) continue;
    r->Starved = false;
    AcceptDone(fd);
  }
}

int TEventLoop::UpdateInterest(int fd, TRegistration& reg) {
  uint32_t want = 0;
  switch (reg.Type) {
    case TKind::kdListener:
      if (reg.AcceptArmed && (reg.Events & FD_ACCEPT)) want = EPOLLIN;
      break;
    case TKind::kdOther:
    case TKind::kdDatagram:
      if (reg.Events & FD_READ) want |= EPOLLIN;
      if (reg.WriteArmed) want |= EPOLLOUT;
      break;
    case TKind::kdRaw:
      if (reg.Events & FD_READ) want |= EPOLLIN;
      if (reg.Events & FD_WRITE) want |= EPOLLOUT;
      break;
    case TKind::kdConnecting:
      want = EPOLLOUT;
      break;
    case TKind::kdLingering:
      want = EPOLLIN | EPOLLRDHUP;
      break;
    case TKind::kdStream:
      if (!reg.CloseReported) {
        if (reg.Events & FD_READ) want |= EPOLLIN;
        if (reg.Events & FD_CLOSE) want |= EPOLLIN | EPOLLRDHUP;
      }
      if (reg.WriteArmed) want |= EPOLLOUT;
      break;
  }
  return WSocketErrorFromErrno(poller_.Update(fd, want));
}

void TEventLoop::Report(int fd, TRegistration& reg, uint32_t event, uint32_t error) {
  queue_.push_back(TEntry{reg.Target, TMessage{WM_ASYNCSELECT, fd, MakeSelectArg(event, error)}, reg.Serial});
}

void TEventLoop::HandleReady(int fd, uint32_t revents) {
  TRegistration* found = Find(fd);
  if (found == nullptr) {
    poller_.Update(fd, 0);
    return;
  }
  TRegistration& r = *found;
  bool hangup = revents & (EPOLLERR | EPOLLHUP | EPOLLRDHUP);

  switch (r.Type) {
    case TKind::kdListener:
      if ((revents & EPOLLIN) && r.AcceptArmed) {
        r.AcceptArmed = false;  // until the next accept, as the platform does
        Report(fd, r, FD_ACCEPT, 0);
        // The interest stays: the accept nearly always follows in this turn and re-arms it, and
        // two changes of the set per connection would cost more than the report. A listener
        // still unaccepted at the next wait loses its interest then.
        return;
      }
      break;
    case TKind::kdOther:
    case TKind::kdDatagram: {
      // A pipe whose reader is gone stays full and reports only the error, level-triggered:
      // the write that would fail is offered once instead of the loop spinning on it.
      uint32_t writable = r.Type == TKind::kdOther ? EPOLLOUT | EPOLLERR | EPOLLHUP : EPOLLOUT;
      if ((revents & writable) && r.WriteArmed) {
        r.WriteArmed = false;
        if (r.Events & FD_WRITE) Report(fd, r, FD_WRITE, 0);
      }
      if ((revents & (EPOLLIN | EPOLLERR | EPOLLHUP)) && (r.Events & FD_READ)) Report(fd, r, FD_READ, 0);
      break;
    }
    case TKind::kdLingering:
      return HandleLingering(fd, revents);
    case TKind::kdRaw: {
      uint32_t failed = revents & (EPOLLERR | EPOLLHUP) ? FD_READ | FD_WRITE : 0;
      uint32_t events = failed | (revents & EPOLLIN ? FD_READ : 0) | (revents & EPOLLOUT ? FD_WRITE : 0);
      if (events & r.Events) Report(fd, r, events & r.Events, 0);
      return;
    }
    case TKind::kdConnecting: {
      r.Type = TKind::kdStream;
      uint32_t err = PendingSocketError(fd);
      if (r.Events & FD_CONNECT) Report(fd, r, FD_CONNECT, err);
      if (err != 0)
        r.CloseReported = true;  // the object closes on the connect report
      else if (r.Events & FD_WRITE)
        Report(fd, r, FD_WRITE, 0);
      break;
    }
    case TKind::kdStream:
      if ((revents & EPOLLOUT) && r.WriteArmed) {
        r.WriteArmed = false;
        if (r.Events & FD_WRITE) Report(fd, r, FD_WRITE, 0);
      }
      if (r.CloseReported) break;
      if (hangup) {
        // Reported once; the close report itself offers whatever is still readable first.
        r.CloseReported = true;
        uint32_t err = (revents & EPOLLERR) ? PendingSocketError(fd) : 0;
        if (r.Events & FD_CLOSE) Report(fd, r, FD_CLOSE, err);
      } else if ((revents & EPOLLIN) && (r.Events & FD_READ)) {
        Report(fd, r, FD_READ, 0);
      }
      break;
  }
  UpdateInterest(fd, r);
}

}  // namespace ordwin
