// The program's one event loop: a first-in, first-out queue of notifications posted to
// endpoints, and the readiness set that turns descriptor readiness into socket notifications
// (number 1025). Everything runs on the thread that runs the loop; nothing is locked.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "net/ChunkPool.h"
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
  virtual void HandleMessage(TMessage& Message) = 0;

protected:
  ~INotificationTarget() = default;
};

// Names an endpoint: a slot of the loop's table and the generation that was current when the
// endpoint was made, so that a stale identifier never reaches a newer endpoint in the same slot.
struct EndpointId {
  uint32_t Slot = 0;
  uint32_t Generation = 0;
  bool Valid() const { return Generation != 0; }
};

class EventLoop {
public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // The loop of this program (and of this thread).
  static EventLoop& Instance();

  // Endpoints. Unregistering discards whatever is still queued for the endpoint.
  EndpointId Register(INotificationTarget* Target);
  void Unregister(EndpointId Id);
  // Appends a notification; it is delivered on a later turn, after everything posted before it.
  void Post(EndpointId Id, uint32_t Msg, intptr_t WParam, intptr_t LParam);
  // Delivers a notification when the turn that is delivering now ends, after its last entry;
  // outside a turn, the same as Post.
  void PostAtTurnEnd(EndpointId Id, uint32_t Msg, intptr_t WParam, intptr_t LParam);

  // Asks for socket notifications (1025) for Fd, delivered to Id: Events is a set of FD_* bits,
  // 0 stops them and drops the reports still queued for Fd. A connected stream receives its
  // first write report at once; a listener reports accept once per call of AcceptDone.
  // Accepted tells that Fd is a stream just accepted, which spares asking the platform what it
  // is. Returns 0 or a Windows Sockets error code.
  int AsyncSelect(int Fd, EndpointId Id, uint32_t Events, bool Accepted = false);
  // A send on Fd would have blocked: report write once when it finds room. Also for a
  // descriptor that is not a socket (a pipe, a terminal), which reports write only this way:
  // once, when it can take bytes or a write would fail at once.
  void WatchWrite(int Fd);
  // Fd started a non-blocking connect: report connect once it completes, with its error, and
  // then write when it succeeded. A failed connect reports nothing more.
  void WatchConnect(int Fd);
  // Reports readiness of any descriptor as asked, level-triggered: read (FD_READ) while it is
  // readable, write (FD_WRITE) while it can take bytes; an error or hang-up reports both that
  // were asked. 0 stops the reports. For descriptors that belong to others (the resolver's).
  int WatchDescriptor(int Fd, EndpointId Id, uint32_t Events);
  // An accept was made on listener Fd: report the next pending connection.
  void AcceptDone(int Fd);
  // An accept on listener Fd failed for want of descriptors: report again once one of this
  // loop's descriptors is given up, or kStarvedRetryMs later (descriptors freed elsewhere), not
  // on every turn.
  void AcceptStarved(int Fd);
  static constexpr int kStarvedRetryMs = 100;

  // One-shot timers: notification Msg (first argument: the timer's id) is posted to Id once
  // DelayMs have passed. Ids are never 0 and never reused; killing a fired or unknown timer
  // does nothing.
  uint64_t SetTimer(EndpointId Id, uint32_t Msg, int DelayMs);
  void KillTimer(uint64_t TimerId);

  // One turn: collect readiness without waiting, then deliver the notifications that were
  // queued at the start of the turn. Returns whether anything was delivered.
  bool ProcessMessages();
  // Waits up to TimeoutMs (-1: no limit) until there is work (readiness, a due timer) and queues
  // it for the next turn; returns at once while work waits. Delivers nothing.
  void WaitForWork(int TimeoutMs);
  // Turns, waiting for work, until Terminate. The request stands until Run returns, so that
  // waits inside the last turn end too.
  void Run();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }

  // Embedding: the descriptor to poll (readable whenever the loop has work) and the time in
  // milliseconds until the next work (0 while posted notifications wait, -1 for none).
  int BackendFd() const { return poller_.Fd(); }
  int BackendTimeout() const;

  // Read-outs for tests and leak checks.
  size_t PendingPosts() const { return queue_.size() + turnEnd_.size(); }
  size_t LiveEndpoints() const { return liveEndpoints_; }
  int WatchedDescriptors() const;

  // The count of live socket objects, kept here because it is per loop and per thread.
  int& LiveSocketCount() { return liveSockets_; }
  // Spare blocks for the send queues of this loop's sockets.
  TChunkPool& ChunkPool() { return chunkPool_; }
  // The name resolver whose sockets and timeouts this loop serves; made on first use.
  TDnsChannel& Dns();

private:
  struct Entry {
    EndpointId Target;
    TMessage Message;
    uint64_t Serial;  // readiness reports: the registration they came from; 0 for posts
  };
  struct Slot {
    INotificationTarget* Target = nullptr;
    uint32_t Generation = 0;
  };
  using Clock = std::chrono::steady_clock;
  struct Timer {
    Clock::time_point Due;
    uint64_t Id;
    EndpointId Target;
    uint32_t Msg;
  };
  // Connecting: a stream until its connect completes.
  enum class Kind : uint8_t { Other, Stream, Listener, Datagram, Raw, Connecting };
  struct Registration {
    uint64_t Serial = 0;  // 0: not registered
    EndpointId Target;
    uint32_t Events = 0;
    Kind Type = Kind::Other;
    bool WriteArmed = false;
    bool AcceptArmed = false;
    bool CloseReported = false;
    bool Starved = false;
  };

  void Turn(int TimeoutMs);
  void Collect(int TimeoutMs);
  void Deliver();
  void DeliverEntry(Entry& E);
  void Report(int Fd, Registration& Reg, uint32_t Event, uint32_t Error);
  void HandleReady(int Fd, uint32_t Revents);
  int UpdateInterest(int Fd, Registration& Reg);
  Registration* Find(int Fd);
  void Wake();
  void FeedStarved();
  // Milliseconds until the first timer or the starved listeners' retry is due (0 when one is),
  // or -1 without either.
  int TimerTimeout() const;
  void FireDueTimers();

  Poller poller_;
  int wakeFd_;
  bool wakePending_ = false;
  int depth_ = 0;
  bool terminated_ = false;
  std::deque<Entry> queue_;
  std::vector<Entry> turnEnd_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> freeSlots_;
  size_t liveEndpoints_ = 0;
  std::vector<Registration> regs_;
  uint64_t nextSerial_ = 1;
  std::vector<epoll_event> ready_;
  std::vector<int> starved_;
  Clock::time_point starvedRetry_{};
  int liveSockets_ = 0;
  TChunkPool chunkPool_;
  std::vector<Timer> timers_;
  uint64_t nextTimer_ = 1;
  // Last, so that it goes first: the resolver gives its descriptors back to this loop.
  std::unique_ptr<TDnsChannel> dns_;
};

}  // namespace ordwin
