// TCustomWSocket: the event-driven, non-blocking IPv4 socket object. It asks the event loop for
// readiness of its handle and turns every report into events on the loop's thread; it owns its
// handle, its send queue and its notification endpoint.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>
#include <sys/time.h>
#include <sys/uio.h>

#include "net/ChunkPool.h"
#include "net/Component.h"
#include "net/Descriptor.h"
#include "net/Event.h"
#include "net/EventLoop.h"
#include "net/Exception.h"
#include "net/NotificationEndpoint.h"
#include "net/WSockbuf.h"

namespace ordwin {

enum TSocketState { wsInvalidState, wsOpened, wsBound, wsConnecting, wsConnected, wsAccepting, wsListening, wsClosed };

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// ComponentOptions: a set of these bits.
using TWSocketOptions = unsigned;
constexpr TWSocketOptions wsoNoReceiveLoop = 1u << 0;

using TDataAvailable = TEvent<void(TObject* sender, uint16_t error)>;
using TDataSent = TEvent<void(TObject* sender, uint16_t error)>;
using TSendData = TEvent<void(TObject* sender, int bytesSent)>;
using TSessionClosed = TEvent<void(TObject* sender, uint16_t error)>;
using TSessionAvailable = TEvent<void(TObject* sender, uint16_t error)>;
using TSessionConnected = TEvent<void(TObject* sender, uint16_t error)>;
using TChangeState = TEvent<void(TObject* sender, TSocketState oldState, TSocketState newState)>;
using TDnsLookupDone = TEvent<void(TObject* sender, uint16_t error)>;
using TNotifyEvent = TEvent<void(TObject* sender)>;
using TBgExceptionEvent = TEvent<void(TObject* sender, const Exception& e, bool& canClose)>;

class TCustomWSocket : public TComponent, private INotificationTarget {
public:
  explicit TCustomWSocket(TComponent* owner);
  // Closes a connection that is still open: OnChangeState fires, OnSessionClosed does not, and
  // nothing posted to the object earlier is delivered afterwards. A derived class whose handlers
  // may look at its own parts calls CloseBeforeDestruction first in its destructor.
  ~TCustomWSocket() override;

  // ---- settings ----
  // Addr, Port, Proto, LocalAddr and LocalPort refuse a change unless the socket is closed;
  // assigning the text already held changes nothing.
  const std::string& Addr() const { return Target().Addr; }
  void SetAddr(const std::string& value);
  const std::string& Port() const { return Target().Port; }
  virtual void SetPort(const std::string& value);
  const std::string& Proto() const { return Target().Proto; }
  virtual void SetProto(const std::string& value);
  const std::string& LocalAddr() const { return Target().LocalAddr; }
  void SetLocalAddr(const std::string& value);
  const std::string& LocalPort() const { return Target().LocalPort; }
  void SetLocalPort(const std::string& value);
  TWSocketOptions ComponentOptions = 0;
  TSocketSendFlags SendFlags() const { return sendFlags_; }
  void SetSendFlags(int value);
  TSocketLingerOnOff LingerOnOff = wsLingerOn;
  int LingerTimeout = 0;
  // Connections the platform keeps waiting for Accept; past them it drops new ones' first
  // packets, and each such client waits a second or more to try again.
  int ListenBacklog = 5;
  // The backlog of a server that every client of a network may reach at once, after an outage
  // say: with the default most of that burst would wait for a second try, and some hang
  // half-connected for minutes.
  static constexpr int kServerListenBacklog = 511;

  // ---- read-outs ----
  // PeerAddr and PeerPort ask the platform at each read ("error" unless connected).
  std::string PeerAddr() { return GetPeerAddr(); }
  std::string PeerPort() { return GetPeerPort(); }
  TSocketState State() const { return state_; }
  int ReadCount() const { return readCount_; }
  int RcvdCount() { return GetRcvdCount(); }
  int LastError() const { return lastError_; }
  int HSocket() const { return handle_.Get(); }
  bool Paused() const { return paused_; }
  // The number of socket objects alive on this thread.
  static int LiveCount();
  static constexpr int kChunkSize = TBuffer::kDefaultSize;

  // ---- events; an unassigned event is skipped ----
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSessionClosed OnSessionClosed;
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TChangeState OnChangeState;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;
  // An exception (of the standard class) that left a handler run from one of the object's
  // notifications, except one that left OnDataAvailable, which the read round drops (see
  // ReceiveLoop). The object is aborted afterwards unless the handler clears canClose; what
  // leaves this handler is dropped.
  TBgExceptionEvent OnBgException;

  // ---- listening, adopting and closing ----
  // Opens, binds and listens on Addr:Port with Proto.
  virtual void Listen();
  // Takes one pending connection from a listener; the caller hands the handle to Dup.
  virtual int Accept();
  // Adopts an accepted handle as this object's connection (no OnSessionConnected).
  virtual void Dup(int newHandle);
  // Shuts the sending direction, closes the handle and fires OnSessionClosed(0) once. With
  // linger on and a linger time, the loop closes the connection later: once the peer has
  // closed it, or when that time has passed; the loop's thread never waits for it.
  virtual void Close();
  // Close on a later turn of the loop.
  virtual void CloseDelayed();
  // Destroys the object on a later turn of the loop; the way to end an object from its handler.
  virtual void Release();
  // Destroys the object now or, while one of its handlers or waits runs (a turn run from inside
  // a handler may deliver a release), right after the outermost of them returns; nothing is
  // delivered to it meanwhile. Release and a server's release of its clients end this way.
  void DestroyWhenIdle();
  // Closes at once without a shutdown, dropping what is queued.
  virtual void Abort();
  virtual void Shutdown(int how);
  // Runs one turn of the event loop. The object outlives the turn even when it delivers the
  // object's release (see DestroyWhenIdle).
  virtual void PumpMessages();

  // ---- reading, normally from OnDataAvailable ----
  virtual int Receive(void* buffer, int bufferSize);
  virtual std::string ReceiveString();

  // ---- sending ----
  // Sending never blocks: the bytes are queued and handed to the platform as it takes them.
  // Returns len (0 when len <= 0), or -1 when not connected.
  virtual int Send(const void* data, int len);
  virtual int SendString(const std::string& str);
  // Hands the platform what it takes of the queue. While OnSendData is assigned each chunk goes
  // in a send of its own, reported by its own OnSendData; otherwise the chunks of a stream go
  // out gathered, up to kGatheredChunks in one send.
  void TryToSend();
  void QueueData(const std::string& str);
  // Inline where the bytes fit the last chunk, as nearly every short packet does.
  void QueueBytes(const void* data, int len) {
    if (len > 0 && !sendQueue_.empty() && sendQueue_.back().Room() >= len) {
      sendQueue_.back().Write(data, len);
      sendQueueBytes_ += static_cast<size_t>(len);
      queuedBytes_ += static_cast<uint64_t>(len);
      return;
    }
    QueueBytesInChunks(data, len);
  }
  void ClearSendQueue();
  bool SendQueueEmpty() const { return sendQueueEmpty_; }
  size_t SendQueueChunks() const { return sendQueue_.size(); }
  // Bytes queued and not yet taken by the platform.
  size_t SendQueueSize() const { return sendQueueBytes_; }
  static constexpr int kGatheredChunks = 64;

  // ---- sending at the end of the turn ----
  // Queues head and then rest to go out in the send phase of this turn of the loop (of the next
  // one when called outside a turn), together with everything else the connection queued
  // meanwhile: one gathered send for the lot, which then goes on as Send(nullptr, 0) does (the
  // write report and OnDataSent on a later turn). False, queuing nothing, when the connection
  // is not open or the bytes do not fit in UnsentBound. From the first such call on, an orderly
  // close (Close, CloseDelayed) first hands the platform what it takes of the queue.
  // Inline for what nearly every packet is: one piece for a connection whose send phase this
  // turn has already been asked for (QueueBytes then writes it into the last chunk's room).
  bool SendAtTurnEnd(std::string_view head, std::string_view rest = {}) {
    if (rest.empty() && turnEndAsked_ && state_ == wsConnected && SendFits(head.size())) {
      QueueBytes(head.data(), static_cast<int>(head.size()));
      sendsAtTurnEnd_ = true;
      return true;
    }
    return QueueForTurnEnd(head, rest);
  }
  // The most bytes SendAtTurnEnd lets wait unsent on the connection; 0: no bound.
  size_t UnsentBound = 0;
  // Whether bytes more would still fit in UnsentBound.
  bool SendFits(size_t bytes) const { return UnsentBound == 0 || sendQueueBytes_ + bytes <= UnsentBound; }
  // The bytes queued since the connection was adopted or opened, and how many of them the
  // platform took (all of them once the queue was dropped, as Abort does).
  uint64_t QueuedBytes() const { return queuedBytes_; }
  uint64_t TakenBytes() const { return queuedBytes_ - sendQueueBytes_; }

  // ---- TCP options of a connected stream ----
  // Each returns 0 or the Windows Sockets error code of the refusal (no handle: WSAENOTSOCK;
  // not a TCP socket: the platform's refusal) and raises nothing, so that a server may call it
  // on every accepted connection. Safe inside a handler; nothing is reported to the peer.
  // Small packets leave at once instead of waiting for the peer's acknowledgement of the last.
  int SetNoDelay(bool on);
  // Keep-alive probes after idleSeconds without a byte from the peer, then every
  // intervalSeconds; the connection ends with WSAETIMEDOUT after probes unanswered ones (with a
  // user timeout set: once it has passed and a probe is unanswered). May be called again at any
  // time: new timings apply from now.
  int SetKeepAlive(int idleSeconds, int intervalSeconds, int probes);
  // Data or a keep-alive probe that the peer leaves unacknowledged for ms ends the connection
  // with WSAETIMEDOUT; 0 leaves it to the platform's retransmission limit (about 15 minutes).
  int SetUserTimeout(int ms);
  // Whether the peer has stopped acknowledging: the platform read (TCP_INFO) shows a
  // retransmission timeout or a keep-alive probe unanswered since the peer last acknowledged
  // anything, or the connection is no longer established (the peer closed or reset it). False
  // when it cannot be read (no handle, not TCP). One system call.
  bool PeerStoppedAcknowledging() const;

  // ---- addresses ----
  virtual std::string GetPeerAddr();
  virtual std::string GetPeerPort();
  virtual std::string GetBoundPort();
  virtual std::string GetBoundAddr();

  // ---- outgoing connections and name lookups (the program's servers use neither) ----
  // Opens a connection to Addr:Port from LocalAddr:LocalPort. A stream connects without
  // waiting: State goes wsOpened, wsConnecting, then, on a later turn, wsConnected and
  // OnSessionConnected(error), and the close follows when error is not 0. A datagram socket is
  // connected at once (OnSessionConnected(0) before Connect returns) and sends to Addr:Port.
  virtual void Connect();
  // Looks a host name up without blocking: OnDnsLookupDone(error) follows on a later turn, with
  // every IPv4 address of the answer in DnsResultList (dotted) and the first in DnsResult. A
  // dotted address is answered before DnsLookup returns (DnsResult only). A lookup still
  // pending is cancelled without an event. When the resolver cannot be started, raises
  // "NAME: can't start DNS lookup, error #N" (through OnError when assigned) and no event follows.
  virtual void DnsLookup(const std::string& hostName);
  // Looks the host name of a dotted address up: OnDnsLookupDone(error) on a later turn, with
  // the name in DnsResult and as the only line of DnsResultList. Fails as DnsLookup does.
  virtual void ReverseDnsLookup(const std::string& hostAddr);
  // Cancels a pending lookup: OnDnsLookupDone(10004), except while the object is destroyed.
  // No lookup pending: nothing.
  virtual void CancelDnsLookup();
  const std::string& DnsResult() const;
  const std::vector<std::string>& DnsResultList() const;
  // The id of the pending lookup, 0 when none is.
  uint32_t DnsLookupHandle() const { return lookup_ ? lookup_->Handle : 0; }

  // ---- Published; nothing in the program uses it ----
  // Selects the pump of PumpMessages; only the loop's own pump exists here.
  bool MultiThreaded = false;
  // Stored only: nothing waits on it.
  int FlushTimeout = 60;
  // Never fired.
  TNotifyEvent OnLineTooLong;
  // Sends what is queued, pumping the loop until the queue is empty or the handle is gone.
  virtual void Flush();
  // Pumps and reads until the connection is closed.
  virtual void DrainUntilClosed();
  // No notifications while paused; Resume asks for them again.
  virtual void Pause();
  virtual void Resume();
  // Datagram reading and sending to a given address.
  virtual int ReceiveFrom(void* buffer, int bufferSize, sockaddr_in& from, int& fromLen);
  virtual int SendTo(const sockaddr_in& dest, const void* data, int len);
  // The raw peer address while connected, else -1.
  virtual int GetPeerName(sockaddr_in& name, int nameLen);
  static bool TimevalIsSet(const timeval& t) { return t.tv_sec != 0 || t.tv_usec != 0; }
  static void TimevalClear(timeval& t) { t.tv_sec = t.tv_usec = 0; }
  static bool TimevalEqual(const timeval& a, const timeval& b) {
    return a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
  }
  static std::string GetLocalName();

protected:
  // Dispatches one notification of the object's endpoint; an exception of the standard class
  // raised in the dispatch, handlers included, goes to HandleBgException, except one that leaves
  // OnDataAvailable in a read round (ReceiveLoop).
  virtual void HandleNotification(TMessage& msg);
  virtual void ResetDefaults();
  virtual void DoClose(bool shut, uint16_t error);
  virtual int GetRcvdCount();
  virtual void BindLocal();
  virtual int RawSend(const void* data, int len);
  // One platform send of count parts of a stream's queue (several chunks, in order), with the
  // flags RawSend uses; fires OnSendData as RawSend does. Every byte of the send queue leaves
  // through RawSend or this: a layer that changes what goes on the wire overrides both.
  virtual int RawSendGathered(const iovec* parts, int count);
  void RaiseErrorFmt(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  virtual void RaiseError(const std::string& msg);
  // Raises OnBgException, then aborts the object unless the handler cleared canClose; what
  // leaves the handler or the abort is dropped.
  virtual void HandleBgException(const Exception& e);
  // Fires OnDataAvailable; true when it is assigned. An exception that leaves the handler is
  // marked as the data handler's, for ReceiveLoop to drop.
  virtual bool DoDataAvailable(uint16_t error);
  virtual void DoSessionAvailable(uint16_t error);
  virtual void DoSessionConnected(uint16_t error);
  virtual void DoSessionClosed(uint16_t error);
  virtual void DoDataSent(uint16_t error);
  virtual void DoChangeState(TSocketState oldState, TSocketState newState);
  virtual void DoDnsLookupDone(uint16_t error);
  virtual void DoError();
  virtual int RawReceive(void* buffer, int bufferSize, int flags);
  virtual int RawReceiveFrom(void* buffer, int bufferSize, int flags, sockaddr_in& from, int& fromLen);

  // Runs one notification's work; an exception of the standard class that leaves it goes to
  // HandleBgException (and so to OnBgException), never to the loop.
  template <class TWork>
  void RunGuarded(TWork&& body) {
    try {
      body();
    } catch (const Exception& e) {
      HandleBgException(e);
    } catch (const std::exception& e) {
      HandleBgException(Exception(e.what()));
    }
  }
  void ChangeState(TSocketState newState);
  // Holds the object's destruction off for its life (see DestroyWhenIdle): every handler run
  // and every wait that turns the loop holds it.
  class TDestructionHold {
  public:
    explicit TDestructionHold(TCustomWSocket& socket) : socket_(socket) { ++socket_.holds_; }
    ~TDestructionHold() {
      if (--socket_.holds_ == 0 && socket_.destroyPending_ && !socket_.Destroying()) socket_.DestroyWhenIdle();
    }
    TDestructionHold(const TDestructionHold&) = delete;
    TDestructionHold& operator=(const TDestructionHold&) = delete;

  private:
    TCustomWSocket& socket_;
  };
  // Changes whenever the object takes up or gives up a handle. A dispatch compares it around
  // each handler: a handler that closed the connection, or closed it and opened the next (whose
  // descriptor may well have the old number), ends what was left of the old one's report.
  uint32_t Registration() const { return registration_; }
  // The first steps of destruction (cancel a lookup, close without OnSessionClosed), for the
  // destructor of a derived class to run while its own parts still stand; later calls do nothing.
  void CloseBeforeDestruction();
  // The peer's address, read from the platform at once; false unless connected. A failure is
  // reported as GetPeerAddr reports it.
  bool ReadPeerName(sockaddr_in& peer);
  // Builds "Error <code> in function <name>" CR LF <text> and raises it (or runs OnError).
  void ReportSocketError(const std::string& functionName, int code);
  // The read handler: offers readable bytes to OnDataAvailable until none are left. What leaves
  // OnDataAvailable ends the round and is dropped; what leaves any other handler run from it
  // (the SOCKS negotiation's) goes on to HandleBgException, as it would on a direct connection.
  void ReceiveLoop(uint16_t error, TWSocketOptions options);
  // The platform's count of readable bytes: 0 or a Windows Sockets error code.
  int PlatformReadableCount(int& count) const;
  // Told by a layer whose read took every byte there was: the read loop then ends its round
  // without asking the platform again (bytes that come later bring their own report).
  void NoteReadDrained() { readDrained_ = true; }
  void Post(uint32_t msg, intptr_t wParam, intptr_t lParam) { endpoint_.Post(msg, wParam, lParam); }
  // A one-shot timer of the loop: msg, with the timer's id as its first argument, is posted to
  // the object delayMs later (see TEventLoop::SetTimer).
  uint64_t SetTimer(uint32_t msg, int delayMs) { return Loop().SetTimer(endpoint_.Id(), msg, delayMs); }
  TEventLoop& Loop() const { return endpoint_.Loop(); }
  bool AddrAssigned() const { return addrSet_; }
  bool PortAssigned() const { return portSet_; }
  // The next Connect goes to address:port (both in network order) instead of Addr:Port.
  void ConnectVia(uint32_t address, uint16_t port);

  // Published fields the layers above reach: the resolved target, the numbers resolved from the
  // settings, the events asked for, and what the own-thread pump sets on a quit request.
  sockaddr_in LastAddress{};
  int AcceptedHandle = INVALID_SOCKET;  // the handle the last Accept returned
  int ProtoNumber = 6;
  int SocketType = 1;  // 1 stream, 2 datagram
  int PortNumber = 0;
  int LocalPortNumber = 0;
  uint32_t SelectEvents = 0;
  bool Terminated = false;

private:
  // QueueBytes where the bytes need a chunk of their own, or more.
  void QueueBytesInChunks(const void* data, int len);
  // SendAtTurnEnd where it is not inline.
  bool QueueForTurnEnd(std::string_view head, std::string_view rest);
  // The settings' texts: made by the first that changes, as a server's clients never set any.
  struct TTarget {
    std::string Addr, Port, Proto = "tcp";
    std::string LocalAddr = "0.0.0.0", LocalPort = "0";
  };
  const TTarget& Target() const;
  TTarget& MutableTarget();

  void HandleMessage(TMessage& msg) final;
  // Published; nothing in the program posts them: the notifications HandleNotification does not
  // serve itself. 1030 raises "Test exception in WSocket" on purpose, for the diagnostics that
  // reach OnBgException; any other number is ignored.
  void HandlePublishedNotification(const TMessage& msg);
  // Sets Addr, Port or Proto: trimmed, unset when empty, refused unless closed.
  void AssignTarget(const char* name, const std::string& value, std::string TTarget::*text, bool& set, bool& resolved);
  void HandleAsyncSelect(const TMessage& msg);
  // Resolves what is not resolved yet of Proto, Port and Addr into the numbers and LastAddress;
  // throws the resolution's ESocketException.
  void ResolveTarget();
  void ApplyLinger();
  void SetSocketOption(int option, const char* functionName);
  // Cancels a pending lookup without an event and clears the results.
  void ForgetLookup();
  // Waits for lookup id of name, or raises that it could not start (id 0).
  void StartLookup(const std::string& name, uint32_t id);
  void AwaitLookup(uint32_t id);
  // Notifications 1026 and 1027: the answer of the pending lookup.
  void HandleDnsReply(const TMessage& msg);
  // Stops the loop's reports for the handle, then closes it; returns close's result. A
  // connection set to linger is shut down and left to the loop to close (CloseLingering).
  int CloseHandle();
  // Empties the send queue and adopts a new non-blocking socket of SocketType and ProtoNumber;
  // false once the failure is reported under functionName.
  bool OpenHandle(const char* functionName);
  // Takes fd as the handle of a new session, giving up the one held before.
  void AdoptHandle(int fd);
  int Select(uint32_t events, bool accepted = false);
  // ResetDefaults at the end of a close, whatever it raises.
  void ResetAfterClose();
  // Hands the block of the drained last chunk to the thread's spare blocks.
  void TrimSendQueue();
  // The send phase's WM_SEND_AT_TURN_END: what SendAtTurnEnd queued goes out.
  void SendTurnEndQueue();
  // Takes n bytes the platform took off the front of the queue, across chunks; drained chunks
  // stay for TryToSend to give back.
  void DropSent(int n);
  // The peer's address (reported with functionName on failure) and the bound local address
  // (false unless bound, connected or listening).
  bool PeerAddress(sockaddr_in& peer, const char* functionName);
  bool BoundAddress(sockaddr_in& local) const;
  // The platform's flags for a send, and the OnSendData that follows every send that took bytes.
  int PlatformSendFlags() const;
  void NotifySendData(ssize_t sent);

  // What the socket objects of one thread share, as they share its loop: how many are alive
  // (exact: a destruction without its construction is a fault) and the spare blocks of their
  // send queues.
  struct TThreadShare {
    int Live = 0;
    TChunkPool Chunks;
  };
  static TThreadShare& ThreadShare();

  TNotificationEndpoint endpoint_;
  TDescriptor handle_;
  std::unique_ptr<TTarget> target_;
  // Name lookups: made by the first, as most sockets never look anything up.
  struct TLookup {
    std::string Result;
    std::vector<std::string> ResultList;
    uint32_t Handle = 0;  // the pending lookup, or 0
    // An answer delivered while no lookup was pending, kept for the lookup whose id it names.
    std::optional<TMessage> EarlyReply;
  };
  std::unique_ptr<TLookup> lookup_;
  TSocketState state_ = wsClosed;
  TSocketSendFlags sendFlags_ = wsSendNormal;
  int readCount_ = 0;
  int lastError_ = 0;
  int holds_ = 0;          // destruction holds now standing
  int lingerSeconds_ = 0;  // the handle's linger time when it lingers on close, else 0
  uint32_t registration_ = 0;
  bool addrSet_ = false, addrResolved_ = false;
  bool portSet_ = false, portResolved_ = false;
  bool protoSet_ = true, protoResolved_ = false;
  bool localPortResolved_ = false;
  bool paused_ = false;
  bool destroyPending_ = false;      // DestroyWhenIdle waits for the holds to end
  bool sessionClosedFired_ = false;  // cleared only when a new session starts
  bool readDrained_ = false;
  bool dataHandlerFailed_ = false;  // an exception is leaving OnDataAvailable
  bool sendQueueEmpty_ = true;
  bool moreQueued_ = false;      // TryToSend has chunks after the ones it sends now
  bool holdSendData_ = false;    // TryToSend raises OnSendData itself, once the chunk is updated
  bool sendsAtTurnEnd_ = false;  // SendAtTurnEnd was used on this connection
  bool turnEndAsked_ = false;    // the send phase of this turn will deliver WM_SEND_AT_TURN_END
  bool pushingBeforeClose_ = false;
  size_t sendQueueBytes_ = 0;  // bytes queued and not yet taken by the platform
  uint64_t queuedBytes_ = 0;   // bytes queued since the connection was adopted or opened
  // A list, not a deque: an empty deque already holds half a kilobyte, on every socket.
  std::list<TBuffer> sendQueue_;
};

}  // namespace ordwin
