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

int SocketIntOption(int Fd, int Option, int& Value) {
  socklen_t len = sizeof(Value);
  return ::getsockopt(Fd, SOL_SOCKET, Option, &Value, &len);
}

uint32_t PendingSocketError(int Fd) {
  int err = 0;
  if (SocketIntOption(Fd, SO_ERROR, err) < 0) err = errno;
  return static_cast<uint32_t>(WSocketErrorFromErrno(err));
}

}  // namespace

EventLoop::EventLoop() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (wakeFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  // Without it, posts made outside a turn would never wake an embedding poller.
  if (int err = poller_.Update(wakeFd_, EPOLLIN); err != 0) {
    ::close(wakeFd_);
    throw std::runtime_error(std::string("epoll_ctl (wake descriptor): ") + std::strerror(err));
  }
  slots_.emplace_back();  // slot 0 is never handed out
}

EventLoop::~EventLoop() {
  dns_.reset();
  poller_.Update(wakeFd_, 0);
  ::close(wakeFd_);
}

EventLoop& EventLoop::Instance() {
  static thread_local EventLoop loop;
  return loop;
}

EndpointId EventLoop::Register(INotificationTarget* Target) {
  uint32_t slot;
  if (!freeSlots_.empty()) {
    slot = freeSlots_.back();
    freeSlots_.pop_back();
  } else {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  Slot& s = slots_[slot];
  s.Target = Target;
  if (++s.Generation == 0) s.Generation = 1;
  ++liveEndpoints_;
  return EndpointId{slot, s.Generation};
}

void EventLoop::Unregister(EndpointId Id) {
  if (Id.Slot >= slots_.size()) return;
  Slot& s = slots_[Id.Slot];
  if (s.Generation != Id.Generation || s.Target == nullptr) return;
  // Entries still queued for it carry the old generation and are dropped when reached.
  s.Target = nullptr;
  freeSlots_.push_back(Id.Slot);
  --liveEndpoints_;
}

void EventLoop::Post(EndpointId Id, uint32_t Msg, intptr_t WParam, intptr_t LParam) {
  queue_.push_back(Entry{Id, TMessage{Msg, WParam, LParam}, 0});
  // Inside a turn the caller of the turn sees the queue; outside, an embedding poller must wake.
  if (depth_ == 0) Wake();
}

void EventLoop::PostAtTurnEnd(EndpointId Id, uint32_t Msg, intptr_t WParam, intptr_t LParam) {
  if (depth_ == 0) return Post(Id, Msg, WParam, LParam);
  turnEnd_.push_back(Entry{Id, TMessage{Msg, WParam, LParam}, 0});
}

void EventLoop::Wake() {
  if (wakePending_) return;
  uint64_t one = 1;
  if (::write(wakeFd_, &one, sizeof(one)) == sizeof(one)) wakePending_ = true;
}

EventLoop::Registration* EventLoop::Find(int Fd) {
  if (Fd < 0 || static_cast<size_t>(Fd) >= regs_.size()) return nullptr;
  Registration& r = regs_[Fd];
  return r.Serial != 0 ? &r : nullptr;
}

int EventLoop::WatchedDescriptors() const {
  int n = 0;
  for (const Registration& r : regs_)
    if (r.Serial != 0) ++n;
  return n;
}

int EventLoop::AsyncSelect(int Fd, EndpointId Id, uint32_t Events, bool Accepted) {
  if (Fd < 0) return WSAENOTSOCK;
  if (static_cast<size_t>(Fd) >= regs_.size()) regs_.resize(Fd + 1);
  Registration& r = regs_[Fd];
  r = Registration{};
  if (Events == 0) {
    int err = WSocketErrorFromErrno(poller_.Update(Fd, 0));
    FeedStarved();  // the descriptor is given up: a listener that wanted one may accept again
    return err;
  }
  r.Serial = nextSerial_++;
  r.Target = Id;
  r.Events = Events;

  // A socket that can send reports write at once, as a fresh connection does.
  bool canSend = true;
  int type = 0, listening = 0;
  if (Accepted) {
    r.Type = Kind::Stream;
  } else if (SocketIntOption(Fd, SO_TYPE, type) < 0) {
    r.Type = Kind::Other;
    canSend = false;
  } else if (type == SOCK_DGRAM) {
    r.Type = Kind::Datagram;
  } else if (SocketIntOption(Fd, SO_ACCEPTCONN, listening) == 0 && listening) {
    r.Type = Kind::Listener;
    r.AcceptArmed = true;
    canSend = false;
  } else {
    r.Type = Kind::Stream;
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    canSend = ::getpeername(Fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
  }
  int err = UpdateInterest(Fd, r);
  if (err != 0) {
    r = Registration{};
    return err;
  }
  if (canSend && (Events & FD_WRITE)) Report(Fd, r, FD_WRITE, 0);
  return 0;
}

void EventLoop::WatchWrite(int Fd) {
  Registration* r = Find(Fd);
  if (r == nullptr || r->WriteArmed) return;
  r->WriteArmed = true;
  UpdateInterest(Fd, *r);
}

void EventLoop::WatchConnect(int Fd) {
  Registration* r = Find(Fd);
  if (r == nullptr || r->Type != Kind::Stream) return;
  r->Type = Kind::Connecting;
  UpdateInterest(Fd, *r);
}

int EventLoop::WatchDescriptor(int Fd, EndpointId Id, uint32_t Events) {
  if (Fd < 0) return WSAENOTSOCK;
  if (static_cast<size_t>(Fd) >= regs_.size()) regs_.resize(Fd + 1);
  Registration& r = regs_[Fd];
  bool same = r.Serial != 0 && r.Type == Kind::Raw && r.Target.Slot == Id.Slot &&
              r.Target.Generation == Id.Generation;
  if (Events == 0) return AsyncSelect(Fd, Id, 0);
  // A change of interest keeps the registration, and so the reports already queued.
  if (!same) {
    r = Registration{};
    r.Serial = nextSerial_++;
    r.Target = Id;
    r.Type = Kind::Raw;
  }
  r.Events = Events;
  int err = UpdateInterest(Fd, r);
  if (err != 0) r = Registration{};
  return err;
}

void EventLoop::AcceptDone(int Fd) {
  Registration* r = Find(Fd);
  if (r == nullptr || r->Type != Kind::Listener || r->AcceptArmed) return;
  r->AcceptArmed = true;
  UpdateInterest(Fd, *r);
}

void EventLoop::AcceptStarved(int Fd) {
  Registration* r = Find(Fd);
  if (r == nullptr || r->Type != Kind::Listener || r->Starved) return;
  r->Starved = true;
  if (starved_.empty()) starvedRetry_ = Clock::now() + std::chrono::milliseconds(kStarvedRetryMs);
  starved_.push_back(Fd);
  UpdateInterest(Fd, *r);  // no report until fed: a pending connection would report every wait
}

void EventLoop::FeedStarved() {
  if (starved_.empty()) return;
  std::vector<int> starved;
  starved.swap(starved_);
  for (int fd : starved) {
    Registration* r = Find(fd);
    if (r == nullptr || !r->Starved) continue;
    r->Starved = false;
    AcceptDone(fd);
  }
}

int EventLoop::UpdateInterest(int Fd, Registration& Reg) {
  uint32_t want = 0;
  switch (Reg.Type) {
    case Kind::Listener:
      if (Reg.AcceptArmed && (Reg.Events & FD_ACCEPT)) want = EPOLLIN;
      break;
    case Kind::Other:
    case Kind::Datagram:
      if (Reg.Events & FD_READ) want |= EPOLLIN;
      if (Reg.WriteArmed) want |= EPOLLOUT;
      break;
    case Kind::Raw:
      if (Reg.Events & FD_READ) want |= EPOLLIN;
      if (Reg.Events & FD_WRITE) want |= EPOLLOUT;
      break;
    case Kind::Connecting:
      want = EPOLLOUT;
      break;
    case Kind::Stream:
      if (!Reg.CloseReported) {
        if (Reg.Events & FD_READ) want |= EPOLLIN;
        if (Reg.Events & FD_CLOSE) want |= EPOLLIN | EPOLLRDHUP;
      }
      if (Reg.WriteArmed) want |= EPOLLOUT;
      break;
  }
  return WSocketErrorFromErrno(poller_.Update(Fd, want));
}

void EventLoop::Report(int Fd, Registration& Reg, uint32_t Event, uint32_t Error) {
  queue_.push_back(Entry{Reg.Target, TMessage{WM_ASYNCSELECT, Fd, MakeSelectArg(Event, Error)},
                         Reg.Serial});
}

void EventLoop::HandleReady(int Fd, uint32_t Revents) {
  Registration* found = Find(Fd);
  if (found == nullptr) {
    poller_.Update(Fd, 0);
    return;
  }
  Registration& r = *found;
  bool hangup = Revents & (EPOLLERR | EPOLLHUP | EPOLLRDHUP);

  switch (r.Type) {
    case Kind::Listener:
      if ((Revents & EPOLLIN) && r.AcceptArmed) {
        r.AcceptArmed = false;  // until the next accept, as the platform does
        Report(Fd, r, FD_ACCEPT, 0);
        // The interest stays: the accept nearly always follows in this turn and re-arms it, and
        // two changes of the set per connection would cost more than the report. A listener
        // still unaccepted at the next wait loses its interest then.
        return;
      }
      break;
    case Kind::Other:
    case Kind::Datagram: {
      // A pipe whose reader is gone stays full and reports only the error, level-triggered:
      // the write that would fail is offered once instead of the loop spinning on it.
      uint32_t writable = r.Type == Kind::Other ? EPOLLOUT | EPOLLERR | EPOLLHUP : EPOLLOUT;
      if ((Revents & writable) && r.WriteArmed) {
        r.WriteArmed = false;
        if (r.Events & FD_WRITE) Report(Fd, r, FD_WRITE, 0);
      }
      if ((Revents & (EPOLLIN | EPOLLERR | EPOLLHUP)) && (r.Events & FD_READ)) Report(Fd, r, FD_READ, 0);
      break;
    }
    case Kind::Raw: {
      uint32_t failed = Revents & (EPOLLERR | EPOLLHUP) ? FD_READ | FD_WRITE : 0;
      uint32_t events = failed | (Revents & EPOLLIN ? FD_READ : 0) | (Revents & EPOLLOUT ? FD_WRITE : 0);
      if (events & r.Events) Report(Fd, r, events & r.Events, 0);
      return;
    }
    case Kind::Connecting: {
      r.Type = Kind::Stream;
      uint32_t err = PendingSocketError(Fd);
      if (r.Events & FD_CONNECT) Report(Fd, r, FD_CONNECT, err);
      if (err != 0)
        r.CloseReported = true;  // the object closes on the connect report
      else if (r.Events & FD_WRITE)
        Report(Fd, r, FD_WRITE, 0);
      break;
    }
    case Kind::Stream:
      if ((Revents & EPOLLOUT) && r.WriteArmed) {
        r.WriteArmed = false;
        if (r.Events & FD_WRITE) Report(Fd, r, FD_WRITE, 0);
      }
      if (r.CloseReported) break;
      if (hangup) {
        // Reported once; the close report itself offers whatever is still readable first.
        r.CloseReported = true;
        uint32_t err = (Revents & EPOLLERR) ? PendingSocketError(Fd) : 0;
        if (r.Events & FD_CLOSE) Report(Fd, r, FD_CLOSE, err);
      } else if ((Revents & EPOLLIN) && (r.Events & FD_READ)) {
        Report(Fd, r, FD_READ, 0);
      }
      break;
  }
  UpdateInterest(Fd, r);
}

int EventLoop::TimerTimeout() const {
  if (timers_.empty() && starved_.empty()) return -1;
  Clock::time_point due = Clock::time_point::max();
  if (!timers_.empty())
    due = std::min_element(timers_.begin(), timers_.end(),
                           [](const Timer& A, const Timer& B) { return A.Due < B.Due; })->Due;
  if (!starved_.empty()) due = std::min(due, starvedRetry_);
  auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 1 << 30));
}

int EventLoop::BackendTimeout() const { return queue_.empty() ? TimerTimeout() : 0; }

uint64_t EventLoop::SetTimer(EndpointId Id, uint32_t Msg, int DelayMs) {
  uint64_t id = nextTimer_++;
  timers_.push_back(Timer{Clock::now() + std::chrono::milliseconds(std::max(DelayMs, 0)), id, Id, Msg});
  if (depth_ == 0) Wake();  // an embedding poller must learn the new timeout
  return id;
}

void EventLoop::KillTimer(uint64_t TimerId) {
  std::erase_if(timers_, [TimerId](const Timer& T) { return T.Id == TimerId; });
}

void EventLoop::FireDueTimers() {
  auto now = Clock::now();
  auto due = std::stable_partition(timers_.begin(), timers_.end(), [now](const Timer& T) { return T.Due > now; });
  if (due == timers_.end()) return;
  std::vector<Timer> fired(due, timers_.end());
  timers_.erase(due, timers_.end());
  std::stable_sort(fired.begin(), fired.end(), [](const Timer& A, const Timer& B) { return A.Due < B.Due; });
  for (const Timer& t : fired)
    queue_.push_back(Entry{t.Target, TMessage{t.Msg, static_cast<intptr_t>(t.Id), 0}, 0});
}

void EventLoop::Collect(int TimeoutMs) {
  if (!timers_.empty() || !starved_.empty()) {
    int timers = TimerTimeout();
    if (TimeoutMs < 0 || timers < TimeoutMs) TimeoutMs = timers;
  }
  poller_.Wait(TimeoutMs, ready_);
  if (!timers_.empty()) FireDueTimers();
  if (!starved_.empty() && Clock::now() >= starvedRetry_) FeedStarved();
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

void EventLoop::Deliver() {
  // Only what was queued at the start of the turn; posts made now run on the next turn.
  size_t n = queue_.size();
  ++depth_;
  struct DepthGuard {
    int& Depth;
    ~DepthGuard() { --Depth; }
  } guard{depth_};
  while (n-- > 0 && !queue_.empty()) {
    Entry e = queue_.front();
    queue_.pop_front();
    DeliverEntry(e);
  }
  while (!turnEnd_.empty()) {
    std::vector<Entry> batch;
    batch.swap(turnEnd_);
    for (Entry& e : batch) DeliverEntry(e);
  }
}

void EventLoop::DeliverEntry(Entry& E) {
  if (E.Target.Slot >= slots_.size()) return;
  Slot& s = slots_[E.Target.Slot];
  if (s.Target == nullptr || s.Generation != E.Target.Generation) return;
  if (E.Serial != 0) {
    Registration* r = Find(static_cast<int>(E.Message.WParam));
    if (r == nullptr || r->Serial != E.Serial) return;  // the descriptor was closed since
  }
  s.Target->HandleMessage(E.Message);
}

void EventLoop::Turn(int TimeoutMs) {
  Collect(queue_.empty() ? TimeoutMs : 0);
  Deliver();
}

void EventLoop::WaitForWork(int TimeoutMs) {
  if (queue_.empty()) Collect(TimeoutMs);
}

TDnsChannel& EventLoop::Dns() {
  if (!dns_) dns_ = std::make_unique<TDnsChannel>(*this);
  return *dns_;
}

bool EventLoop::ProcessMessages() {
  Collect(0);
  bool any = !queue_.empty();
  Deliver();
  return any;
}

void EventLoop::Run() {
  terminated_ = false;
  while (!terminated_) Turn(-1);
  terminated_ = false;
}

}  // namespace ordwin
