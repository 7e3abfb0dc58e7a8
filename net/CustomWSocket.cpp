#include "net/CustomWSocket.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/FlagScope.h"
#include "net/SelectEvents.h"
#include "net/SocketErrorText.h"
#include "net/WSocketResolve.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

constexpr uint32_t kListenerEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
constexpr uint32_t kConnectionEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

}  // namespace

TCustomWSocket::TCustomWSocket(TComponent* owner) : TComponent(owner), endpoint_(this) {
  ResetDefaults();
  ++ThreadShare().Live;
}

TCustomWSocket::~TCustomWSocket() {
  CloseBeforeDestruction();
  if (handle_.Valid()) CloseHandle();
  // The platform's sockets need no start or stop here, so the live count is all that remains.
  assert(ThreadShare().Live > 0);
  --ThreadShare().Live;
  ClearSendQueue();
}

void TCustomWSocket::CloseBeforeDestruction() {
  MarkDestroying();
  try {
    CancelDnsLookup();
  } catch (const std::exception&) {
  }
  try {
    if (state_ != wsClosed) Close();
  } catch (const std::exception&) {
  }
}

TCustomWSocket::TThreadShare& TCustomWSocket::ThreadShare() {
  static thread_local TThreadShare share;
  return share;
}

int TCustomWSocket::LiveCount() { return ThreadShare().Live; }

void TCustomWSocket::ResetDefaults() {
  LastAddress = sockaddr_in{};
  LastAddress.sin_family = AF_INET;
  addrSet_ = addrResolved_ = false;
  portSet_ = portResolved_ = false;
  protoResolved_ = false;
  localPortResolved_ = false;
  protoSet_ = true;
  ProtoNumber = 6;
  SocketType = SOCK_STREAM;
  if (target_) {
    target_->Proto.assign("tcp", 3);
    target_->LocalPort.assign(1, '0');
    target_->LocalAddr.assign("0.0.0.0", 7);
  }
  LingerOnOff = wsLingerOn;
  LingerTimeout = 0;
  if (handle_.Valid()) CloseHandle();
  state_ = wsClosed;
  sendQueueEmpty_ = true;
  paused_ = false;
  readCount_ = 0;
  FlushTimeout = 60;
}

// ---- settings ----

const TCustomWSocket::TTarget& TCustomWSocket::Target() const {
  static const TTarget kDefaults;
  return target_ ? *target_ : kDefaults;
}

TCustomWSocket::TTarget& TCustomWSocket::MutableTarget() {
  if (!target_) target_ = std::make_unique<TTarget>();
  return *target_;
}

void TCustomWSocket::AssignTarget(const char* name, const std::string& value, std::string TTarget::*text, bool& set,
                                  bool& resolved) {
  std::string v = WSocketTrim(value);
  if (set && v == Target().*text) return;
  if (state_ != wsClosed) return RaiseError(std::string("Cannot change ") + name + " if not closed");
  MutableTarget().*text = v;
  set = !v.empty();
  resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& value) {
  AssignTarget("Addr", value, &TTarget::Addr, addrSet_, addrResolved_);
}

void TCustomWSocket::SetPort(const std::string& value) {
  AssignTarget("Port", value, &TTarget::Port, portSet_, portResolved_);
}

void TCustomWSocket::SetProto(const std::string& value) {
  AssignTarget("Proto", value, &TTarget::Proto, protoSet_, protoResolved_);
}

void TCustomWSocket::SetLocalAddr(const std::string& value) {
  if (state_ != wsClosed) {
    RaiseError("Cannot change LocalAddr if not closed");
    return;
  }
  std::string v = value.empty() ? std::string("0.0.0.0") : value;
  if (!WSocketIsDottedIP(v)) {
    RaiseError("SetLocalAddr(): Invalid IP address");
    MutableTarget().LocalAddr = "255.255.255.255";
    return;
  }
  in_addr a{};
  a.s_addr = ::inet_addr(WSocketTrim(v).c_str());
  MutableTarget().LocalAddr = WSocketDottedAddress(a);
}

void TCustomWSocket::SetLocalPort(const std::string& value) {
  if (state_ != wsClosed) {
    RaiseError("Cannot change LocalPort if not closed");
    return;
  }
  MutableTarget().LocalPort = value;
  localPortResolved_ = false;
}

void TCustomWSocket::SetSendFlags(int value) {
  switch (value) {
    case wsSendNormal:
    case wsSendUrgent:
      sendFlags_ = static_cast<TSocketSendFlags>(value);
      return;
    default:
      RaiseError("Invalid SendFlags");
  }
}

// ---- events ----

bool TCustomWSocket::DoDataAvailable(uint16_t error) {
  if (!OnDataAvailable) return false;
  try {
    OnDataAvailable(this, error);
  } catch (...) {
    dataHandlerFailed_ = true;
    throw;
  }
  return true;
}

void TCustomWSocket::DoSessionAvailable(uint16_t error) {
  if (OnSessionAvailable) OnSessionAvailable(this, error);
}

void TCustomWSocket::DoSessionConnected(uint16_t error) {
  if (OnSessionConnected) OnSessionConnected(this, error);
}

void TCustomWSocket::DoSessionClosed(uint16_t error) {
  if (OnSessionClosed) OnSessionClosed(this, error);
}

void TCustomWSocket::DoDataSent(uint16_t error) {
  if (OnDataSent) OnDataSent(this, error);
}

void TCustomWSocket::DoChangeState(TSocketState oldState, TSocketState newState) {
  if (OnChangeState) OnChangeState(this, oldState, newState);
}

void TCustomWSocket::DoDnsLookupDone(uint16_t error) {
  if (OnDnsLookupDone) OnDnsLookupDone(this, error);
}

void TCustomWSocket::DoError() {
  if (OnError) OnError(this);
}

void TCustomWSocket::ChangeState(TSocketState newState) {
  TSocketState old = state_;
  state_ = newState;
  DoChangeState(old, newState);
}

// ---- errors ----

void TCustomWSocket::RaiseError(const std::string& msg) {
  if (OnError) {
    DoError();
    return;
  }
  throw ESocketException(msg);
}

void TCustomWSocket::RaiseErrorFmt(const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  RaiseError(text);
}

void TCustomWSocket::ReportSocketError(const std::string& functionName, int code) {
  std::string text = "Error " + std::to_string(code) + " in function " + functionName + "\r\n" + SocketErrorText(code);
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    CloseHandle();
    ChangeState(wsClosed);
  }
  lastError_ = code;
  RaiseError(text);
}

void TCustomWSocket::HandleBgException(const Exception& e) {
  bool canClose = true;
  try {
    if (OnBgException) OnBgException(this, e, canClose);
  } catch (const std::exception&) {
  }
  if (canClose) {
    try {
      Abort();
    } catch (const std::exception&) {
    }
  }
}

// ---- notifications ----

void TCustomWSocket::HandleMessage(TMessage& msg) {
  if (destroyPending_) return;
  // Before the hold: with nothing else holding the object, a release destroys it here and now.
  if (msg.Msg == WM_WSOCKET_RELEASE) return DestroyWhenIdle();
  const TDestructionHold hold(*this);
  if (msg.Msg == WM_SEND_AT_TURN_END) return SendTurnEndQueue();
  HandleNotification(msg);
}

void TCustomWSocket::HandleNotification(TMessage& msg) {
  RunGuarded([&] {
    switch (msg.Msg) {
      case WM_ASYNCSELECT:
        HandleAsyncSelect(msg);
        break;
      case WM_ASYNCGETHOSTBYNAME:
      case WM_ASYNCGETHOSTBYADDR:
        HandleDnsReply(msg);
        break;
      case WM_CLOSE_DELAYED:
        Close();
        break;
      default:
        HandlePublishedNotification(msg);
        break;
    }
  });
}

void TCustomWSocket::HandleAsyncSelect(const TMessage& msg) {
  // A report for an earlier handle, or any report while paused, changes nothing.
  if (!handle_.Valid() || static_cast<int>(msg.WParam) != handle_.Get() || paused_) return;
  uint32_t events = SelectEvent(msg.LParam);
  uint16_t error = SelectError(msg.LParam);
  // After a handler that closed the connection (and perhaps opened the next), the rest of the
  // report is not for the connection at hand; the close has had its OnSessionClosed.
  const uint32_t registration = registration_;
  auto ended = [&] { return registration_ != registration; };

  if (events & FD_CONNECT) {
    ChangeState(wsConnected);
    DoSessionConnected(error);
    if (ended()) return;
    if (error != 0 && state_ != wsClosed) return Close();
  }
  if (events & FD_READ) {
    ReceiveLoop(error, ComponentOptions);
    if (ended()) return;
  }
  if (events & FD_WRITE) {
    TryToSend();
    if (ended()) return;
    if (sendQueueEmpty_) {
      // The drained chunk stays, but not its block: most connections are idle most of the
      // time, and 1514 bytes each is the larger part of what an idle connection costs.
      TrimSendQueue();
      DoDataSent(error);
      if (ended()) return;
    }
  }
  if (events & FD_ACCEPT) {
    DoSessionAvailable(error);
    if (ended()) return;
  }
  if ((events & FD_CLOSE) && state_ != wsConnecting) {
    // Whatever is still readable is offered first, even to a handler that reads once per report.
    ReceiveLoop(0, ComponentOptions & ~wsoNoReceiveLoop);
    if (ended()) return;
    if (!sessionClosedFired_) {
      sessionClosedFired_ = true;
      DoSessionClosed(error);
      if (ended()) return;
    }
    if (state_ != wsClosed) Close();
  }
}

// ---- select, listen, accept, adopt ----

int TCustomWSocket::Select(uint32_t events, bool accepted) {
  SelectEvents = events;
  return Loop().AsyncSelect(handle_.Get(), endpoint_.Id(), events, accepted);
}

bool TCustomWSocket::OpenHandle(const char* functionName) {
  ClearSendQueue();
  int fd = ::socket(PF_INET, SocketType | SOCK_NONBLOCK | SOCK_CLOEXEC, ProtoNumber);
  if (fd < 0) {
    ReportSocketError(functionName, WSocketLastError());
    return false;
  }
  AdoptHandle(fd);
  return true;
}

void TCustomWSocket::AdoptHandle(int fd) {
  // The old handle leaves the loop first: closing it behind the loop's back would leave its
  // interest recorded, and a new descriptor with the same number would never be watched.
  CloseHandle();
  handle_ = TDescriptor(fd);
  ++registration_;
  lingerSeconds_ = 0;
  sessionClosedFired_ = false;
  sendsAtTurnEnd_ = false;
  queuedBytes_ = sendQueueBytes_;
}

int TCustomWSocket::CloseHandle() {
  if (!handle_.Valid()) return 0;
  ++registration_;
  Loop().AsyncSelect(handle_.Get(), endpoint_.Id(), 0);
  if (lingerSeconds_ != 0 && state_ == wsConnected) {
    // Linux's close would wait up to the linger time on this thread, non-blocking or not.
    ::shutdown(handle_.Get(), SHUT_WR);
    const int64_t ms = lingerSeconds_ < 0 ? INT_MAX : std::min<int64_t>(int64_t{lingerSeconds_} * 1000, INT_MAX);
    Loop().CloseLingering(std::move(handle_), static_cast<int>(ms));
    return 0;
  }
  return handle_.Close();
}

void TCustomWSocket::ResolveTarget() {
  if (!protoResolved_) {
    ProtoNumber = WSocketResolveProto(Proto());
    SocketType = ProtoNumber == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    protoResolved_ = true;
  }
  if (!portResolved_) {
    PortNumber = WSocketResolvePort(Port(), Proto());
    LastAddress.sin_port = htons(static_cast<uint16_t>(PortNumber));
    portResolved_ = true;
  }
  if (!addrResolved_) {
    LastAddress.sin_addr.s_addr = WSocketResolveHost(Addr());
    addrResolved_ = true;
  }
}

void TCustomWSocket::Listen() {
  if (!portSet_) return ReportSocketError("listen: port not assigned", WSAEINVAL);
  if (!protoSet_) return ReportSocketError("listen: protocol not assigned", WSAEINVAL);
  if (!addrSet_) return ReportSocketError("listen: address not assigned", WSAEINVAL);

  try {
    ResolveTarget();
  } catch (const Exception& e) {
    return RaiseError("listen: " + e.Message());
  }

  if (!OpenHandle("socket")) return;
  const int fd = handle_.Get();
  // Windows lets a listener bind a port that connections of an earlier run still hold in
  // TIME_WAIT; Linux does only with SO_REUSEADDR, so that a server restarted within that minute
  // gets its port back. A second listener on the port is refused all the same.
  if (SocketType == SOCK_STREAM) {
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }

  if (::bind(fd, reinterpret_cast<const sockaddr*>(&LastAddress), sizeof(LastAddress)) < 0) {
    int code = WSocketLastError();
    CloseHandle();
    return ReportSocketError("Bind", code);
  }
  ChangeState(wsBound);

  if (SocketType == SOCK_STREAM) {
    if (::listen(fd, ListenBacklog) < 0) return ReportSocketError("Listen", WSocketLastError());
    ChangeState(wsListening);
  } else {
    ChangeState(wsListening);
    ChangeState(wsConnected);
    DoSessionConnected(0);
  }

  // Spelled so here and "WSAAsyncSelect" in Dup and Connect: callers may match either text.
  if (int err = Select(kListenerEvents); err != 0) ReportSocketError("WSAASyncSelect", err);
}

int TCustomWSocket::Accept() {
  if (state_ != wsListening) {
    ReportSocketError("not a listening socket", WSAEINVAL);
    return INVALID_SOCKET;
  }
  socklen_t len = sizeof(LastAddress);
  int fd = ::accept4(handle_.Get(), reinterpret_cast<sockaddr*>(&LastAddress), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  int code = fd < 0 ? WSocketLastError() : 0;
  // Out of descriptors, another try must wait until one is given up, or it would fail each turn.
  if (code == WSAEMFILE || code == WSAENOBUFS)
    Loop().AcceptStarved(handle_.Get());
  else
    Loop().AcceptDone(handle_.Get());
  AcceptedHandle = fd;
  if (fd < 0) {
    ReportSocketError("Accept", code);
    return INVALID_SOCKET;
  }
  return fd;
}

void TCustomWSocket::Dup(int newHandle) {
  if (newHandle < 0) return ReportSocketError("Dup", WSAEINVAL);
  if (state_ != wsClosed) {
    if (CloseHandle() < 0) return ReportSocketError("Dup (closesocket)", WSocketLastError());
    ChangeState(wsClosed);
  }
  AdoptHandle(newHandle);
  ApplyLinger();
  if (int err = Select(kConnectionEvents, true); err != 0) return ReportSocketError("WSAAsyncSelect", err);
  ChangeState(wsConnected);
}

void TCustomWSocket::ApplyLinger() {
  if (LingerOnOff == wsLingerNoSet) return;
  if (!handle_.Valid()) return RaiseError("Cannot set linger option at this time");
  linger opt{};
  opt.l_onoff = LingerOnOff == wsLingerOn ? 1 : 0;
  opt.l_linger = LingerTimeout;
  if (::setsockopt(handle_.Get(), SOL_SOCKET, SO_LINGER, &opt, sizeof(opt)) < 0)
    return ReportSocketError("setsockopt(SO_LINGER)", WSocketLastError());
  // A negative time is the platform's longest.
  lingerSeconds_ = opt.l_onoff != 0 && SocketType == SOCK_STREAM ? opt.l_linger : 0;
}

// ---- closing ----

void TCustomWSocket::Close() {
  // A connection's last answer is often queued for the end of the turn just before its close.
  // A send that finds the connection lost closes it from inside TryToSend: pushed only once.
  if (sendsAtTurnEnd_ && state_ == wsConnected && !pushingBeforeClose_) {
    TFlagScope pushing(pushingBeforeClose_);
    TryToSend();
  }
  DoClose(true, 0);
}

void TCustomWSocket::DoClose(bool shut, uint16_t error) {
  if (!handle_.Valid()) {
    if (state_ != wsClosed) {
      ChangeState(wsClosed);
      ResetDefaults();
    }
    return;
  }
  if (state_ == wsClosed) return;
  if (shut) Shutdown(1);

  // Linux never asks to retry a close; the loop stays for the platform that does.
  for (;;) {
    if (CloseHandle() == 0) break;
    lastError_ = WSocketLastError();
    if (lastError_ == WSAEWOULDBLOCK) {
      PumpMessages();
      continue;
    }
    if (lastError_ == WSANOTINITIALISED) break;
    return ReportSocketError("Disconnect (closesocket)", lastError_);
  }

  // A handler that opens the next connection (OnChangeState, OnSessionClosed) keeps it, and
  // its settings: the reset is for the connection that closed.
  const uint32_t registration = registration_;
  ChangeState(wsClosed);
  if (registration_ != registration) return;
  if (!Destroying() && !sessionClosedFired_) {
    sessionClosedFired_ = true;
    try {
      DoSessionClosed(error);
    } catch (...) {
      if (registration_ == registration) ResetAfterClose();  // the close is done all the same
      throw;
    }
    if (registration_ != registration) return;
  }
  ResetAfterClose();
}

void TCustomWSocket::ResetAfterClose() {
  try {
    ResetDefaults();
  } catch (const std::exception&) {
  }
}

void TCustomWSocket::CloseDelayed() { Post(WM_CLOSE_DELAYED, 0, 0); }

void TCustomWSocket::Release() { Post(WM_WSOCKET_RELEASE, 0, 0); }

void TCustomWSocket::DestroyWhenIdle() {
  if (holds_ > 0) {
    destroyPending_ = true;
    return;
  }
  MarkDestroying();
  delete this;
}

void TCustomWSocket::Abort() {
  CancelDnsLookup();
  ClearSendQueue();
  if (state_ == wsConnected && ProtoNumber == IPPROTO_TCP) {
    LingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  DoClose(false, 0);
}

void TCustomWSocket::Shutdown(int how) {
  if (handle_.Valid()) ::shutdown(handle_.Get(), how);
}

void TCustomWSocket::PumpMessages() {
  const TDestructionHold hold(*this);
  Loop().ProcessMessages();
  if (MultiThreaded && Loop().Terminated()) Terminated = true;
}

}  // namespace ordwin
