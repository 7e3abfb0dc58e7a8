#include "net/EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/DnsChannel.h"
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

TEventLoop::TEventLoop() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (wakeFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  // Without it, posts made outside a turn would never wake an embedding poller.
  if (int err = poller_.Update(wakeFd_, EPOLLIN); err != 0) {
    ::close(wakeFd_);
    throw std::runtime_error(std::string("epoll_ctl (wake descriptor): ") + std::strerror(err));
  }
  slots_.emplace_back();  // slot 0 is never handed out
}

TEventLoop::~TEventLoop() {
  dns_.reset();
  poller_.Update(wakeFd_, 0);
  ::close(wakeFd_);
}

TEventLoop& TEventLoop::Instance() {
  static thread_local TEventLoop loop;
  return loop;
}

TEndpointId TEventLoop::Register(INotificationTarget* target) {
  uint32_t slot;
  if (!freeSlots_.empty()) {
    slot = freeSlots_.back();
    freeSlots_.pop_back();
  } else {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  TSlot& s = slots_[slot];
  s.Target = target;
  if (++s.Generation == 0) s.Generation = 1;
  ++liveEndpoints_;
  return TEndpointId{slot, s.Generation};
}

void TEventLoop::Unregister(TEndpointId id) {
  if (id.Slot >= slots_.size()) return;
  TSlot& s = slots_[id.Slot];
  if (s.Generation != id.Generation || s.Target == nullptr) return;
  // Entries still queued for it carry the old generation and are dropped when reached.
  s.Target = nullptr;
  freeSlots_.push_back(id.Slot);
  --liveEndpoints_;
}

void TEventLoop::Post(TEndpointId id, uint32_t msg, intptr_t wParam, intptr_t lParam) {
  queue_.push_back(TEntry{id, TMessage{msg, wParam, lParam}, 0});
  // Inside a turn the caller of the turn sees the queue; outside, an embedding poller must wake.
  if (depth_ == 0) Wake();
}

void TEventLoop::PostAtTurnEnd(TEndpointId id, uint32_t msg, intptr_t wParam, intptr_t lParam) {
  if (depth_ == 0) return Post(id, msg, wParam, lParam);
  turnEnd_.push_back(TEntry{id, TMessage{msg, wParam, lParam}, 0});
}

void TEventLoop::Wake() {
  if (wakePending_) return;
  uint64_t one = 1;
  if (::write(wakeFd_, &one, sizeof(one)) == sizeof(one)) wakePending_ = true;
}

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
  UpdateInterest(fd, *r);
}

int TEventLoop::WatchDescriptor(int fd, TEndpointId id, uint32_t events) {
  if (fd < 0) return WSAENOTSOCK;
  if (static_cast<size_t>(fd) >= regs_.size()) regs_.resize(fd + 1);
  TRegistration& r = regs_[fd];
  bool same = r.Serial != 0 && r.Type == TKind::kdRaw && r.Target.Slot == id.Slot &&
              r.Target.Generation == id.Generation;
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
  queue_.push_back(TEntry{reg.Target, TMessage{WM_ASYNCSELECT, fd, MakeSelectArg(event, error)},
                         reg.Serial});
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

int TEventLoop::TimerTimeout() const {
  if (timers_.empty() && starved_.empty()) return -1;
  TClock::time_point due = TClock::time_point::max();
  if (!timers_.empty())
    due = std::min_element(timers_.begin(), timers_.end(),
                           [](const TTimer& a, const TTimer& b) { return a.Due < b.Due; })->Due;
  if (!starved_.empty()) due = std::min(due, starvedRetry_);
  auto left = std::chrono::ceil<std::chrono::milliseconds>(due - TClock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 1 << 30));
}

int TEventLoop::BackendTimeout() const { return queue_.empty() ? TimerTimeout() : 0; }

uint64_t TEventLoop::SetTimer(TEndpointId id, uint32_t msg, int delayMs) {
  uint64_t timerId = nextTimer_++;
  timers_.push_back(TTimer{TClock::now() + std::chrono::milliseconds(std::max(delayMs, 0)), timerId, id, msg});
  if (depth_ == 0) Wake();  // an embedding poller must learn the new timeout
  return timerId;
}

void TEventLoop::KillTimer(uint64_t timerId) {
  std::erase_if(timers_, [timerId](const TTimer& t) { return t.Id == timerId; });
}

void TEventLoop::FireDueTimers() {
  auto now = TClock::now();
  auto due = std::stable_partition(timers_.begin(), timers_.end(), [now](const TTimer& t) { return t.Due > now; });
  if (due == timers_.end()) return;
  std::vector<TTimer> fired(due, timers_.end());
  timers_.erase(due, timers_.end());
  std::stable_sort(fired.begin(), fired.end(), [](const TTimer& a, const TTimer& b) { return a.Due < b.Due; });
  for (const TTimer& t : fired)
    queue_.push_back(TEntry{t.Target, TMessage{t.Msg, static_cast<intptr_t>(t.Id), 0}, 0});
}

void TEventLoop::Collect(int timeoutMs) {
  if (!timers_.empty() || !starved_.empty()) {
    int timers = TimerTimeout();
    if (timeoutMs < 0 || timers < timeoutMs) timeoutMs = timers;
  }
  poller_.Wait(timeoutMs, ready_);
  if (!timers_.empty()) FireDueTimers();
  if (!starved_.empty() && TClock::now() >= starvedRetry_) FeedStarved();
  for (const epoll_event& ev : ready_) {
    if (ev.data.fd == wakeFd_) {
      uint64_t count;
      while (::read(wakeFd_, &count, sizeof(count)) > 0) {
      }
      wakePending_ = false;
      continue;
    }
    HandleReady(ev.data.fd, ev.events);
  }
}

void TEventLoop::Deliver() {
  // Only what was queued at the start of the turn; posts made now run on the next turn.
  size_t n = queue_.size();
  ++depth_;
  struct TDepthGuard {
    int& Depth;
    ~TDepthGuard() { --Depth; }
  } guard{depth_};
  while (n-- > 0 && !queue_.empty()) {
    TEntry e = queue_.front();
    queue_.pop_front();
    DeliverEntry(e);
  }
  while (!turnEnd_.empty()) {
    std::vector<TEntry> batch;
    batch.swap(turnEnd_);
    for (TEntry& e : batch) DeliverEntry(e);
  }
}

void TEventLoop::DeliverEntry(TEntry& e) {
  if (e.Target.Slot >= slots_.size()) return;
  TSlot& s = slots_[e.Target.Slot];
  if (s.Target == nullptr || s.Generation != e.Target.Generation) return;
  if (e.Serial != 0) {
    TRegistration* r = Find(static_cast<int>(e.Message.WParam));
    if (r == nullptr || r->Serial != e.Serial) return;  // the descriptor was closed since
  }
  s.Target->HandleMessage(e.Message);
}

void TEventLoop::Turn(int timeoutMs) {
  Collect(queue_.empty() ? timeoutMs : 0);
  Deliver();
}

void TEventLoop::WaitForWork(int timeoutMs) {
  if (queue_.empty()) Collect(timeoutMs);
}

TDnsChannel& TEventLoop::Dns() {
  if (!dns_) dns_ = std::make_unique<TDnsChannel>(*this);
  return *dns_;
}

bool TEventLoop::ProcessMessages() {
  Collect(0);
  bool any = !queue_.empty();
  Deliver();
  return any;
}

void TEventLoop::Run() {
  terminated_ = false;
  while (!terminated_) Turn(-1);
  terminated_ = false;
}

}  // namespace ordwin
