// TCustomWSocket: the event-driven, non-blocking IPv4 socket object. It asks the event loop for
// readiness of its handle and turns every report into events on the loop's thread; it owns its
// handle, its send queue and its notification endpoint.
#pragma once

#include <cstdint>
#include <list>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/time.h>

#include "net/Component.h"
#include "net/EventLoop.h"
#include "net/Exception.h"
#include "net/NotificationEndpoint.h"
#include "net/SocketHandle.h"
#include "net/WSockbuf.h"

namespace ordwin {

enum TSocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// ComponentOptions: a set of these bits.
using TWSocketOptions = unsigned;
constexpr TWSocketOptions wsoNoReceiveLoop = 1u << 0;

using TDataAvailable = std::function<void(TObject* Sender, uint16_t Error)>;
using TDataSent = std::function<void(TObject* Sender, uint16_t Error)>;
using TSendData = std::function<void(TObject* Sender, int BytesSent)>;
using TSessionClosed = std::function<void(TObject* Sender, uint16_t Error)>;
using TSessionAvailable = std::function<void(TObject* Sender, uint16_t Error)>;
using TSessionConnected = std::function<void(TObject* Sender, uint16_t Error)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TDnsLookupDone = std::function<void(TObject* Sender, uint16_t Error)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TBgExceptionEvent = std::function<void(TObject* Sender, const Exception& E, bool& CanClose)>;

class TCustomWSocket : public TComponent, private INotificationTarget {
public:
  explicit TCustomWSocket(TComponent* Owner);
  // Closes a connection that is still open: OnChangeState fires, OnSessionClosed does not, and
  // nothing posted to the object earlier is delivered afterwards. A derived class whose handlers
  // may look at its own parts calls CloseBeforeDestruction first in its destructor.
  ~TCustomWSocket() override;

  // Settings. Addr, Port, Proto, LocalAddr and LocalPort refuse a change unless the socket is
  // closed; assigning the text already held changes nothing.
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& Value);
  const std::string& Port() const { return port_; }
  virtual void SetPort(const std::string& Value);
  const std::string& Proto() const { return proto_; }
  virtual void SetProto(const std::string& Value);
  const std::string& LocalAddr() const { return localAddr_; }
  void SetLocalAddr(const std::string& Value);
  const std::string& LocalPort() const { return localPort_; }
  void SetLocalPort(const std::string& Value);

  // Read-outs. PeerAddr and PeerPort ask the platform at each read ("error" unless connected).
  std::string PeerAddr() { return GetPeerAddr(); }
  std::string PeerPort() { return GetPeerPort(); }
  const std::string& DnsResult() const;
  const std::vector<std::string>& DnsResultList() const;
  TSocketState State() const { return state_; }
  int ReadCount() const { return readCount_; }
  int RcvdCount() { return GetRcvdCount(); }
  int LastError() const { return lastError_; }
  int HSocket() const { return handle_.Get(); }
  bool Paused() const { return paused_; }

  bool MultiThreaded = false;
  TWSocketOptions ComponentOptions = 0;
  int FlushTimeout = 60;  // kept for callers that read it back; nothing waits on it
  TSocketSendFlags SendFlags() const { return sendFlags_; }
  void SetSendFlags(int Value);
  TSocketLingerOnOff LingerOnOff = wsLingerOn;
  int LingerTimeout = 0;
  // Connections the platform keeps waiting for Accept; past them it drops new ones' first
  // packets, and each such client waits a second or more to try again.
  int ListenBacklog = 5;

  // Events; an unassigned event is skipped.
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSessionClosed OnSessionClosed;
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TChangeState OnChangeState;
  TNotifyEvent OnLineTooLong;  // published for compatibility; never fired
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;

  // Opens, binds and listens on Addr:Port with Proto.
  virtual void Listen();
  // Opens a connection to Addr:Port from LocalAddr:LocalPort. A stream connects without
  // waiting: State goes wsOpened, wsConnecting, then, on a later turn, wsConnected and
  // OnSessionConnected(Error), and the close follows when Error is not 0. A datagram socket is
  // connected at once (OnSessionConnected(0) before Connect returns) and sends to Addr:Port.
  virtual void Connect();
  // Takes one pending connection from a listener; the caller hands the handle to Dup.
  virtual int Accept();
  // Adopts an accepted handle as this object's connection (no OnSessionConnected).
  virtual void Dup(int NewHandle);
  // Shuts the sending direction, closes the handle and fires OnSessionClosed(0) once.
  virtual void Close();
  // Close on a later turn of the loop.
  virtual void CloseDelayed();
  // Destroys the object on a later turn of the loop; the way to end an object from its handler.
  virtual void Release();
  // Closes at once without a shutdown, dropping what is queued.
  virtual void Abort();
  virtual void Flush();
  virtual void DrainUntilClosed();
  virtual void Shutdown(int How);
  virtual void Pause();
  virtual void Resume();
  // Runs one turn of the event loop.
  virtual void PumpMessages();

  // Reading, normally from OnDataAvailable.
  virtual int Receive(void* Buffer, int BufferSize);
  virtual std::string ReceiveString();
  virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);

  // Sending never blocks: the bytes are queued and handed to the platform as it takes them.
  // Returns Len (0 when Len <= 0), or -1 when not connected.
  virtual int Send(const void* Data, int Len);
  virtual int SendTo(const sockaddr_in& Dest, const void* Data, int Len);
  virtual int SendString(const std::string& Str);
  void TryToSend();
  void QueueData(const std::string& Str);
  void QueueBytes(const void* Data, int Len);
  void ClearSendQueue();
  bool SendQueueEmpty() const { return sendQueueEmpty_; }
  size_t SendQueueChunks() const { return sendQueue_.size(); }
  // Bytes queued and not yet taken by the platform.
  size_t SendQueueSize() const { return sendQueueBytes_; }

  // Looks a host name up without blocking: OnDnsLookupDone(Error) follows on a later turn, with
  // every IPv4 address of the answer in DnsResultList (dotted) and the first in DnsResult. A
  // dotted address is answered before DnsLookup returns (DnsResult only). A lookup still
  // pending is cancelled without an event.
  virtual void DnsLookup(const std::string& HostName);
  // Looks the host name of a dotted address up: OnDnsLookupDone(Error) on a later turn, with
  // the name in DnsResult and as the only line of DnsResultList.
  virtual void ReverseDnsLookup(const std::string& HostAddr);
  // Cancels a pending lookup: OnDnsLookupDone(10004), except while the object is destroyed.
  // No lookup pending: nothing.
  virtual void CancelDnsLookup();
  // The id of the pending lookup, 0 when none is.
  uint32_t DnsLookupHandle() const { return lookup_ ? lookup_->Handle : 0; }

  virtual std::string GetPeerAddr();
  virtual std::string GetPeerPort();
  virtual int GetPeerName(sockaddr_in& Name, int NameLen);
  virtual std::string GetBoundPort();
  virtual std::string GetBoundAddr();
  static bool TimevalIsSet(const timeval& T) { return T.tv_sec != 0 || T.tv_usec != 0; }
  static void TimevalClear(timeval& T) { T.tv_sec = T.tv_usec = 0; }
  static bool TimevalEqual(const timeval& A, const timeval& B) {
    return A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
  }
  static std::string GetLocalName();

  // The number of socket objects alive on this thread.
  static int LiveCount();

  static constexpr int kChunkSize = TBuffer::kDefaultSize;

protected:
  // Dispatches one notification of the object's endpoint; an exception raised anywhere in the
  // dispatch, handlers included, goes to HandleBgException.
  virtual void HandleNotification(TMessage& Msg);
  virtual void ResetDefaults();
  virtual void DoClose(bool Shut, uint16_t Error);
  virtual int GetRcvdCount();
  virtual void BindLocal();
  virtual int RawSend(const void* Data, int Len);
  void RaiseErrorFmt(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
  virtual void RaiseError(const std::string& Msg);
  virtual void HandleBgException(const Exception& E);
  virtual bool DoDataAvailable(uint16_t Error);
  virtual void DoSessionAvailable(uint16_t Error);
  virtual void DoSessionConnected(uint16_t Error);
  virtual void DoSessionClosed(uint16_t Error);
  virtual void DoDataSent(uint16_t Error);
  virtual void DoChangeState(TSocketState OldState, TSocketState NewState);
  virtual void DoDnsLookupDone(uint16_t Error);
  virtual void DoError();
  virtual int RawReceive(void* Buffer, int BufferSize, int Flags);
  virtual int RawReceiveFrom(void* Buffer, int BufferSize, int Flags, sockaddr_in& From, int& FromLen);

  // Runs one notification's work; an exception of the standard class that leaves it goes to
  // HandleBgException (and so to OnBgException), never to the loop.
  template <class Work>
  void RunGuarded(Work&& Body) {
    try {
      Body();
    } catch (const Exception& e) {
      HandleBgException(e);
    } catch (const std::exception& e) {
      HandleBgException(Exception(e.what()));
    }
  }
  void ChangeState(TSocketState NewState);
  // The first steps of destruction (cancel a lookup, close without OnSessionClosed), for the
  // destructor of a derived class to run while its own parts still stand; later calls do nothing.
  void CloseBeforeDestruction();
  // The peer's dotted address and port, read from the platform at once; "error" for both
  // unless connected. A failure is reported as GetPeerAddr reports it.
  void ReadPeerName(std::string& Addr, std::string& Port);
  // Builds "Error <code> in function <name>" CR LF <text> and raises it (or runs OnError).
  void ReportSocketError(const std::string& FunctionName, int Code);
  // The read handler: offers readable bytes to OnDataAvailable until none are left.
  void ReceiveLoop(uint16_t Error, TWSocketOptions Options);
  // The platform's count of readable bytes: 0 or a Windows Sockets error code.
  int PlatformReadableCount(int& Count) const;
  // Told by a layer whose read took every byte there was: the read loop then ends its round
  // without asking the platform again (bytes that come later bring their own report).
  void NoteReadDrained() { readDrained_ = true; }
  void Post(uint32_t Msg, intptr_t WParam, intptr_t LParam) { endpoint_.Post(Msg, WParam, LParam); }
  EventLoop& Loop() const { return endpoint_.Loop(); }
  bool SessionClosedFired() const { return sessionClosedFired_; }
  bool AddrAssigned() const { return addrSet_; }
  bool PortAssigned() const { return portSet_; }
  // The next Connect goes to Address:Port (both in network order) instead of Addr:Port.
  void ConnectVia(uint32_t Address, uint16_t Port);

  sockaddr_in LastAddress{};
  int AcceptedHandle = INVALID_SOCKET;
  int ProtoNumber = 6;
  int SocketType = 1;  // 1 stream, 2 datagram
  int PortNumber = 0;
  int LocalPortNumber = 0;
  uint32_t SelectEvents = 0;
  bool Terminated = false;

private:
  void HandleMessage(TMessage& Msg) final;
  // Sets Addr, Port or Proto: trimmed, unset when empty, refused unless closed.
  void AssignTarget(const char* Name, const std::string& Value, std::string& Text, bool& Set, bool& Resolved);
  void HandleAsyncSelect(const TMessage& Msg);
  // Resolves what is not resolved yet of Proto, Port and Addr into the numbers and LastAddress;
  // throws the resolution's ESocketException.
  void ResolveTarget();
  void ApplyLinger();
  void SetSocketOption(int Option, const char* FunctionName);
  // Cancels a pending lookup without an event and clears the results.
  void ForgetLookup();
  void AwaitLookup(uint32_t Id);
  // Notifications 1026 and 1027: the answer of the pending lookup.
  void HandleDnsReply(const TMessage& Msg);
  // Stops the loop's reports for the handle, then closes it; returns close's result.
  int CloseHandle();
  // Takes Fd as the handle of a new session, giving up the one held before.
  void AdoptHandle(int Fd);
  int Select(uint32_t Events, bool Accepted = false);
  // Hands the block of the drained last chunk to the loop's spare blocks.
  void TrimSendQueue();
  // The peer's address (reported with FunctionName on failure) and the bound local address
  // (false unless bound, connected or listening).
  bool PeerAddress(sockaddr_in& Peer, const char* FunctionName);
  bool BoundAddress(sockaddr_in& Local) const;
  // The platform's flags for a send, and the OnSendData that follows every send that took bytes.
  int PlatformSendFlags() const;
  void NotifySendData(ssize_t Sent);

  TNotificationEndpoint endpoint_;
  SocketHandle handle_;
  std::string addr_, port_, proto_ = "tcp";
  std::string localAddr_ = "0.0.0.0", localPort_ = "0";
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
  bool addrSet_ = false, addrResolved_ = false;
  bool portSet_ = false, portResolved_ = false;
  bool protoSet_ = true, protoResolved_ = false;
  bool localPortResolved_ = false;
  bool paused_ = false;
  bool sessionClosedFired_ = false;  // cleared only when a new session starts
  bool readDrained_ = false;
  bool sendQueueEmpty_ = true;
  bool moreQueued_ = false;
  bool holdSendData_ = false;  // TryToSend raises OnSendData itself, once the chunk is updated
  size_t sendQueueBytes_ = 0;  // TryToSend has chunks after the one RawSend sends now
  // A list, not a deque: an empty deque already holds half a kilobyte, on every socket.
  std::list<TBuffer> sendQueue_;
};

}  // namespace ordwin
