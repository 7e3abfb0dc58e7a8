#include "net/EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/eventfd.h>
#include <unistd.h>

#include "net/DnsChannel.h"

namespace ordwin {

TEventLoop::TEventLoop() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!wakeFd_.Valid()) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  // Without it, posts made outside a turn would never wake an embedding poller.
  if (int err = poller_.Update(wakeFd_.Get(), EPOLLIN); err != 0) {
    throw std::runtime_error(std::string("epoll_ctl (wake descriptor): ") + std::strerror(err));
  }
  slots_.emplace_back();  // slot 0 is never handed out
}

TEventLoop::~TEventLoop() {
  dns_.reset();
  poller_.Update(wakeFd_.Get(), 0);
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

void TEventLoop::AtTurnEnd(TTurnPhase phase, TEndpointId id, uint32_t msg) {
  turnEnd_[phase].push_back(TEntry{id, TMessage{msg, 0, 0}, 0});
  if (depth_ == 0) Wake();
}

void TEventLoop::Wake() {
  if (wakePending_) return;
  uint64_t one = 1;
  if (::write(wakeFd_.Get(), &one, sizeof(one)) == sizeof(one)) wakePending_ = true;
}

int TEventLoop::TimerTimeout() const {
  if (timers_.empty() && starved_.empty() && lingering_.empty()) return -1;
  TClock::time_point due = TClock::time_point::max();
  if (!timers_.empty())
    due = std::min_element(timers_.begin(), timers_.end(), [](const TTimer& a, const TTimer& b) {
            return a.Due < b.Due;
          })->Due;
  if (!starved_.empty()) due = std::min(due, starvedRetry_);
  for (const TLingering& l : lingering_) due = std::min(due, l.Due);
  auto left = std::chrono::ceil<std::chrono::milliseconds>(due - TClock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 1 << 30));
}

int TEventLoop::BackendTimeout() const { return queue_.empty() && !TurnEndWaits() ? TimerTimeout() : 0; }

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
  for (const TTimer& t : fired) queue_.push_back(TEntry{t.Target, TMessage{t.Msg, static_cast<intptr_t>(t.Id), 0}, 0});
}

void TEventLoop::Collect(int timeoutMs) {
  if (!timers_.empty() || !starved_.empty() || !lingering_.empty()) {
    int timers = TimerTimeout();
    if (timeoutMs < 0 || timers < timeoutMs) timeoutMs = timers;
  }
  poller_.Wait(timeoutMs, ready_);
  if (!timers_.empty()) FireDueTimers();
  if (!starved_.empty() && TClock::now() >= starvedRetry_) FeedStarved();
  for (const epoll_event& ev : ready_) {
    if (ev.data.fd == wakeFd_.Get()) {
      uint64_t count;
      while (::read(wakeFd_.Get(), &count, sizeof(count)) > 0) {
      }
      wakePending_ = false;
      continue;
    }
    HandleReady(ev.data.fd, ev.events);
  }
  if (!lingering_.empty()) CloseOverdueLingering();
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
  EndTurn();
}

void TEventLoop::EndTurn() {
  while (TurnEndWaits()) {
    RunPhase(tpSend);
    RunPhase(tpFinish);
  }
}

void TEventLoop::RunPhase(TTurnPhase phase) {
  std::vector<TEntry>& asked = turnEnd_[phase];
  while (!asked.empty()) {
    std::vector<TEntry> batch;
    batch.swap(asked);
    for (TEntry& e : batch) DeliverEntry(e);
    // The list keeps its room for the next turn, unless the handlers asked again meanwhile.
    if (asked.empty()) {
      batch.clear();
      asked.swap(batch);
    }
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
  Collect(queue_.empty() && !TurnEndWaits() ? timeoutMs : 0);
  Deliver();
}

void TEventLoop::WaitForWork(int timeoutMs) {
  if (queue_.empty() && !TurnEndWaits()) Collect(timeoutMs);
}

TDnsChannel& TEventLoop::Dns() {
  if (!dns_) dns_ = std::make_unique<TDnsChannel>(*this);
  return *dns_;
}

bool TEventLoop::ProcessMessages() {
  Collect(0);
  bool any = !queue_.empty() || TurnEndWaits();
  Deliver();
  return any;
}

void TEventLoop::Run() {
  terminated_ = false;
  while (!terminated_) Turn(-1);
  terminated_ = false;
}

}  // namespace ordwin
