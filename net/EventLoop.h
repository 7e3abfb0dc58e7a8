// The program's one event loop: a first-in, first-out queue of notifications posted to
// endpoints, timers, and the readiness set that turns descriptor readiness into socket
// notifications (number 1025; EventLoopReadiness.cpp). Owns its epoll set, its wake descriptor,
// the name resolver and the connections handed to it to close (EventLoopLinger.cpp); endpoints
// and watched descriptors stay their owners'. Everything runs on the thread that runs the loop;
// nothing is locked.
//
// One turn of the loop runs four phases, always in this order:
//   1. Collect: the readiness of the watched descriptors and the timers that are due become
//      notifications at the back of the queue.
//   2. Deliver: the notifications in the queue once readiness is collected go to their
//      endpoints, one at a time, and the handlers run: they read, answer, queue what they send
//      and log. What they post waits for the next turn.
//   3. Send: every connection that queued bytes for the end of the turn hands them to the
//      platform in one gathered send each (TCustomWSocket::SendAtTurnEnd; past 64 chunks, one
//      per 64), in the order the connections first queued. What the platform does not take
//      goes out on a later turn's write report.
//   4. Finish: the work that waits for the sends, the log's lines of the turn above all, so that
//      a client waiting for its answer never waits for the log's write as well.
// Phases 3 and 4 run again while they give each other work; a turn run from inside a handler
// (a wait) runs all four for whatever is there. The README's "One turn of the loop" follows one
// GG packet through them, file by file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "net/Descriptor.h"
#include "net/Poller.h"

namespace ordwin {

class TDnsChannel;

struct TMessage {
  uint32_t Msg;
  intptr_t WParam;
  intptr_t LParam;
};

// Receives the notifications of one endpoint.
class INotificationTarget {
public:
  virtual void HandleMessage(TMessage& message) = 0;

protected:
  ~INotificationTarget() = default;
};

// The phases that end a turn (see above), in the order they run.
enum TTurnPhase : uint8_t { tpSend, tpFinish };

// Names an endpoint: a slot of the loop's table and the generation that was current when the
// endpoint was made, so that a stale identifier never reaches a newer endpoint in the same slot.
struct TEndpointId {
  uint32_t Slot = 0;
  uint32_t Generation = 0;
  bool Valid() const { return Generation != 0; }
};

class TEventLoop {
public:
  TEventLoop();
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // The loop of this program (and of this thread).
  static TEventLoop& Instance();

  // Endpoints. Unregistering discards whatever is still queued for the endpoint.
  TEndpointId Register(INotificationTarget* target);
  void Unregister(TEndpointId id);
  // Appends a notification; it is delivered on a later turn, after everything posted before it.
  void Post(TEndpointId id, uint32_t msg, intptr_t wParam, intptr_t lParam);
  // Delivers notification msg (both arguments 0) to id in the given phase of this turn, after
  // what was asked of that phase before; outside a turn, in that phase of the next one. Each
  // call is one delivery: the caller asks once for what it gathers in a turn.
  void AtTurnEnd(TTurnPhase phase, TEndpointId id, uint32_t msg);

  // Asks for socket notifications (1025) for fd, delivered to id: events is a set of FD_* bits,
  // 0 stops them and drops the reports still queued for fd. A connected stream receives its
  // first write report at once; a listener reports accept once per call of AcceptDone.
  // With accepted set, fd is a stream just accepted, which spares asking the platform what it
  // is. Returns 0 or a Windows Sockets error code.
  int AsyncSelect(int fd, TEndpointId id, uint32_t events, bool accepted = false);
  // A send on fd would have blocked: report write once when it finds room. Also for a
  // descriptor that is not a socket (a pipe, a terminal), which reports write only this way:
  // once, when it can take bytes or a write would fail at once.
  void WatchWrite(int fd);
  // The socket fd started a non-blocking connect: report connect once it completes, with its error, and
  // then write when it succeeded. A failed connect reports nothing more. Reports of fd queued
  // before are dropped: none may come ahead of the connect.
  void WatchConnect(int fd);
  // Queues a socket notification with events and error 0 for fd's current registration, as if
  // the platform had reported it; dropped when that registration ends before it is delivered,
  // so that it never reaches a later connection on the same descriptor number. Nothing when fd
  // is not registered.
  void PostReport(int fd, uint32_t events);
  // Reports readiness of any descriptor as asked, level-triggered: read (FD_READ) while it is
  // readable, write (FD_WRITE) while it can take bytes; an error or hang-up reports both that
  // were asked. 0 stops the reports. For descriptors that belong to others (the resolver's).
  int WatchDescriptor(int fd, TEndpointId id, uint32_t events);
  // An accept was made on listener fd: report the next pending connection.
  void AcceptDone(int fd);
  // An accept on listener fd failed for want of descriptors: report again once one of this
  // loop's descriptors is given up, or kStarvedRetryMs later (descriptors freed elsewhere), not
  // on every turn.
  void AcceptStarved(int fd);
  static constexpr int kStarvedRetryMs = 100;

  // Takes over socket, a connected stream whose sending side is shut down, and closes it once
  // the peer has closed or reset the connection, or timeoutMs later, whichever comes first;
  // what arrives meanwhile is discarded. The close never blocks: what the platform still holds
  // to send goes out after it, as after any close without linger.
  void CloseLingering(TDescriptor socket, int timeoutMs);

  // One-shot timers: notification msg (first argument: the timer's id) is posted to id once
  // delayMs have passed. Ids are never 0 and never reused; killing a fired or unknown timer
  // does nothing.
  uint64_t SetTimer(TEndpointId id, uint32_t msg, int delayMs);
  void KillTimer(uint64_t timerId);

  // One turn, all four phases, collecting readiness without waiting. Returns whether there was
  // anything to deliver.
  bool ProcessMessages();
  // Waits up to timeoutMs (-1: no limit) until there is work (readiness, a due timer) and queues
  // it for the next turn; returns at once while work waits (a turn's end included). Delivers
  // nothing.
  void WaitForWork(int timeoutMs);
  // Turns, waiting for work, until Terminate. The request stands until Run returns, so that
  // waits inside the last turn end too.
  void Run();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }

  // Embedding: the descriptor to poll (readable whenever the loop has work) and the time in
  // milliseconds until the next work (0 while notifications or a turn's end wait, -1 for none).
  int BackendFd() const { return poller_.Fd(); }
  int BackendTimeout() const;

  // Read-outs for tests and leak checks.
  size_t PendingPosts() const { return queue_.size() + turnEnd_[tpSend].size() + turnEnd_[tpFinish].size(); }
  size_t LiveEndpoints() const { return liveEndpoints_; }
  int WatchedDescriptors() const;

  // The name resolver whose sockets and timeouts this loop serves; made on first use.
  TDnsChannel& Dns();

private:
  struct TEntry {
    TEndpointId Target;
    TMessage Message;
    uint64_t Serial;  // readiness reports: the registration they came from; 0 for posts
  };
  struct TSlot {
    INotificationTarget* Target = nullptr;
    uint32_t Generation = 0;
  };
  using TClock = std::chrono::steady_clock;
  struct TTimer {
    TClock::time_point Due;
    uint64_t Id;
    TEndpointId Target;
    uint32_t Msg;
  };
  // Connecting: a stream until its connect completes. Lingering: handed to CloseLingering.
  enum class TKind : uint8_t { kdOther, kdStream, kdListener, kdDatagram, kdRaw, kdConnecting, kdLingering };
  struct TRegistration {
    uint64_t Serial = 0;  // 0: not registered
    TEndpointId Target;
    uint32_t Events = 0;
    TKind Type = TKind::kdOther;
    bool WriteArmed = false;
    bool AcceptArmed = false;
    bool CloseReported = false;
    bool Starved = false;
  };

  // The phases of a turn, as named above; Deliver ends with EndTurn, phases 3 and 4.
  void Turn(int timeoutMs);
  void Collect(int timeoutMs);
  void Deliver();
  void EndTurn();
  void RunPhase(TTurnPhase phase);
  bool TurnEndWaits() const { return !turnEnd_[tpSend].empty() || !turnEnd_[tpFinish].empty(); }
  void DeliverEntry(TEntry& e);
  void Wake();
  // The readiness set (EventLoopReadiness.cpp).
  void Report(int fd, TRegistration& reg, uint32_t event, uint32_t error);
  void HandleReady(int fd, uint32_t revents);
  int UpdateInterest(int fd, TRegistration& reg);
  TRegistration* Find(int fd);
  void FeedStarved();
  // Connections handed to CloseLingering (EventLoopLinger.cpp).
  struct TLingering {
    TDescriptor Socket;
    TClock::time_point Due;
  };
  void HandleLingering(int fd, uint32_t revents);
  void CloseOverdueLingering();
  void FinishLingering(int fd);
  // Milliseconds until the first timer, the starved listeners' retry or a lingering close's
  // timeout is due (0 when one is), or -1 without any.
  int TimerTimeout() const;
  void FireDueTimers();

  TPoller poller_;
  TDescriptor wakeFd_;
  bool wakePending_ = false;
  int depth_ = 0;
  bool terminated_ = false;
  std::deque<TEntry> queue_;
  std::vector<TEntry> turnEnd_[2];  // by phase
  std::vector<TSlot> slots_;
  std::vector<uint32_t> freeSlots_;
  size_t liveEndpoints_ = 0;
  std::vector<TRegistration> regs_;
  uint64_t nextSerial_ = 1;
  std::vector<epoll_event> ready_;
  std::vector<int> starved_;
  TClock::time_point starvedRetry_{};
  std::vector<TTimer> timers_;
  uint64_t nextTimer_ = 1;
  std::vector<TLingering> lingering_;
  // Last, so that it goes first: the resolver gives its descriptors back to this loop.
  std::unique_ptr<TDnsChannel> dns_;
};

}  // namespace ordwin
