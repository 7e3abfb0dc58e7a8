#include "net/CustomWSocket.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/SelectEvents.h"
#include "net/SocketErrorText.h"
#include "net/WSocketResolve.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

constexpr uint32_t kListenerEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;    // 43
constexpr uint32_t kConnectionEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;  // 51

}  // namespace

TCustomWSocket::TCustomWSocket(TComponent* Owner) : TComponent(Owner), endpoint_(this) {
  ResetDefaults();
  ++Loop().LiveSocketCount();
}

TCustomWSocket::~TCustomWSocket() {
  CloseBeforeDestruction();
  if (handle_.Valid()) CloseHandle();
  // The platform's sockets need no start or stop here, so the live count is all that remains.
  if (--Loop().LiveSocketCount() < 0) Loop().LiveSocketCount() = 0;
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

int TCustomWSocket::LiveCount() { return EventLoop::Instance().LiveSocketCount(); }

void TCustomWSocket::ResetDefaults() {
  LastAddress = sockaddr_in{};
  LastAddress.sin_family = AF_INET;
  addrSet_ = addrResolved_ = false;
  portSet_ = portResolved_ = false;
  protoResolved_ = false;
  localPortResolved_ = false;
  protoSet_ = true;
  ProtoNumber = 6;
  proto_.assign("tcp", 3);
  SocketType = SOCK_STREAM;
  localPort_.assign(1, '0');
  localAddr_.assign("0.0.0.0", 7);
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

void TCustomWSocket::AssignTarget(const char* Name, const std::string& Value, std::string& Text, bool& Set,
                                  bool& Resolved) {
  std::string v = WSocketTrim(Value);
  if (Set && v == Text) return;
  if (state_ != wsClosed) return RaiseError(std::string("Cannot change ") + Name + " if not closed");
  Text = v;
  Set = !v.empty();
  Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value) { AssignTarget("Addr", Value, addr_, addrSet_, addrResolved_); }

void TCustomWSocket::SetPort(const std::string& Value) { AssignTarget("Port", Value, port_, portSet_, portResolved_); }

void TCustomWSocket::SetProto(const std::string& Value) {
  AssignTarget("Proto", Value, proto_, protoSet_, protoResolved_);
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
  if (state_ != wsClosed) {
    RaiseError("Cannot change LocalAddr if not closed");
    return;
  }
  std::string v = Value.empty() ? std::string("0.0.0.0") : Value;
  if (!WSocketIsDottedIP(v)) {
    RaiseError("SetLocalAddr(): Invalid IP address");
    localAddr_ = "255.255.255.255";
    return;
  }
  in_addr a{};
  a.s_addr = ::inet_addr(WSocketTrim(v).c_str());
  localAddr_ = WSocketDottedAddress(a);
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
  if (state_ != wsClosed) {
    RaiseError("Cannot change LocalPort if not closed");
    return;
  }
  localPort_ = Value;
  localPortResolved_ = false;
}

void TCustomWSocket::SetSendFlags(int Value) {
  switch (Value) {
    case wsSendNormal:
    case wsSendUrgent:
      sendFlags_ = static_cast<TSocketSendFlags>(Value);
      return;
    default:
      RaiseError("Invalid SendFlags");
  }
}

// ---- events ----

bool TCustomWSocket::DoDataAvailable(uint16_t Error) {
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, Error);
  return true;
}

void TCustomWSocket::DoSessionAvailable(uint16_t Error) {
  if (OnSessionAvailable) OnSessionAvailable(this, Error);
}

void TCustomWSocket::DoSessionConnected(uint16_t Error) {
  if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomWSocket::DoSessionClosed(uint16_t Error) {
  if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomWSocket::DoDataSent(uint16_t Error) {
  if (OnDataSent) OnDataSent(this, Error);
}

void TCustomWSocket::DoChangeState(TSocketState OldState, TSocketState NewState) {
  if (OnChangeState) OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::DoDnsLookupDone(uint16_t Error) {
  if (OnDnsLookupDone) OnDnsLookupDone(this, Error);
}

void TCustomWSocket::DoError() {
  if (OnError) OnError(this);
}

void TCustomWSocket::ChangeState(TSocketState NewState) {
  TSocketState old = state_;
  state_ = NewState;
  DoChangeState(old, NewState);
}

// ---- errors ----

void TCustomWSocket::RaiseError(const std::string& Msg) {
  if (OnError) {
    DoError();
    return;
  }
  throw ESocketException(Msg);
}

void TCustomWSocket::RaiseErrorFmt(const char* Fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, Fmt);
  std::vsnprintf(text, sizeof(text), Fmt, args);
  va_end(args);
  RaiseError(text);
}

void TCustomWSocket::ReportSocketError(const std::string& FunctionName, int Code) {
  std::string text = "Error " + std::to_string(Code) + " in function " + FunctionName + "\r\n" +
                     SocketErrorText(Code);
  if (Code == WSAECONNRESET || Code == WSAENOTCONN) {
    CloseHandle();
    ChangeState(wsClosed);
  }
  lastError_ = Code;
  RaiseError(text);
}

void TCustomWSocket::HandleBgException(const Exception& E) {
  bool canClose = true;
  try {
    if (OnBgException) OnBgException(this, E, canClose);
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

void TCustomWSocket::HandleMessage(TMessage& Msg) { HandleNotification(Msg); }

void TCustomWSocket::HandleNotification(TMessage& Msg) {
  if (Msg.Msg == WM_WSOCKET_RELEASE) {
    MarkDestroying();
    delete this;
    return;
  }
  RunGuarded([&] {
    switch (Msg.Msg) {
      case WM_ASYNCSELECT:
        HandleAsyncSelect(Msg);
        break;
      case WM_ASYNCGETHOSTBYNAME:
      case WM_ASYNCGETHOSTBYADDR:
        HandleDnsReply(Msg);
        break;
      case WM_CLOSE_DELAYED:
        Close();
        break;
      case WM_TRIGGER_EXCEPTION:
        throw ESocketException("Test exception in WSocket");
      default:
        break;
    }
  });
}

void TCustomWSocket::HandleAsyncSelect(const TMessage& Msg) {
  // A report for an earlier handle, or any report while paused, changes nothing.
  if (!handle_.Valid() || static_cast<int>(Msg.WParam) != handle_.Get() || paused_) return;
  uint32_t events = SelectEvent(Msg.LParam);
  uint16_t error = SelectError(Msg.LParam);

  if (events & FD_CONNECT) {
    ChangeState(wsConnected);
    DoSessionConnected(error);
    if (error != 0 && state_ != wsClosed) Close();
  }
  if (events & FD_READ) ReceiveLoop(error, ComponentOptions);
  if (events & FD_WRITE) {
    TryToSend();
    if (sendQueueEmpty_) {
      // The drained chunk stays, but not its block: most connections are idle most of the
      // time, and 1514 bytes each is the larger part of what an idle connection costs.
      TrimSendQueue();
      DoDataSent(error);
    }
  }
  if (events & FD_ACCEPT) DoSessionAvailable(error);
  if ((events & FD_CLOSE) && state_ != wsConnecting) {
    // Whatever is still readable is offered first, even to a handler that reads once per report.
    const int fd = handle_.Get();
    ReceiveLoop(0, ComponentOptions & ~wsoNoReceiveLoop);
    // A handler that closed meanwhile has had OnSessionClosed from that close.
    if (handle_.Get() != fd) return;
    if (!sessionClosedFired_) {
      sessionClosedFired_ = true;
      DoSessionClosed(error);
    }
    if (state_ != wsClosed) Close();
  }
}

void TCustomWSocket::ReceiveLoop(uint16_t Error, TWSocketOptions Options) {
  for (;;) {
    try {
      lastError_ = 0;
      readDrained_ = false;
      if (!DoDataAvailable(Error)) {
        char discard[1024];
        if (RawReceive(discard, sizeof(discard), 0) < 0) {
          lastError_ = WSocketLastError();
          if (lastError_ == WSAEWOULDBLOCK) {
            lastError_ = 0;
            return;
          }
        }
      }
      if (Options & wsoNoReceiveLoop) return;
      if (lastError_ != 0) return;
      if (!handle_.Valid()) return;  // the handler closed the connection
      if (readDrained_) return;
      int count = 0;
      int err = PlatformReadableCount(count);
      if (err != 0) {
        lastError_ = err;
        return;
      }
      if (count == 0) return;
    } catch (const std::exception&) {
      return;  // a failing handler ends this read round only
    }
  }
}

int TCustomWSocket::PlatformReadableCount(int& Count) const {
  Count = 0;
  if (!handle_.Valid()) return WSAENOTSOCK;
  if (::ioctl(handle_.Get(), FIONREAD, &Count) < 0) return WSocketLastError();
  return 0;
}

// ---- select, listen, accept, adopt ----

int TCustomWSocket::Select(uint32_t Events, bool Accepted) {
  SelectEvents = Events;
  return Loop().AsyncSelect(handle_.Get(), endpoint_.Id(), Events, Accepted);
}

void TCustomWSocket::AdoptHandle(int Fd) {
  // The old handle leaves the loop first: closing it behind the loop's back would leave its
  // interest recorded, and a new descriptor with the same number would never be watched.
  CloseHandle();
  handle_ = SocketHandle(Fd);
  sessionClosedFired_ = false;
}

int TCustomWSocket::CloseHandle() {
  if (!handle_.Valid()) return 0;
  Loop().AsyncSelect(handle_.Get(), endpoint_.Id(), 0);
  return handle_.Close();
}

void TCustomWSocket::ResolveTarget() {
  if (!protoResolved_) {
    ProtoNumber = WSocketResolveProto(proto_);
    SocketType = ProtoNumber == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    protoResolved_ = true;
  }
  if (!portResolved_) {
    PortNumber = WSocketResolvePort(port_, proto_);
    LastAddress.sin_port = htons(static_cast<uint16_t>(PortNumber));
    portResolved_ = true;
  }
  if (!addrResolved_) {
    LastAddress.sin_addr.s_addr = WSocketResolveHost(addr_);
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

  ClearSendQueue();
  int fd = ::socket(PF_INET, SocketType | SOCK_NONBLOCK | SOCK_CLOEXEC, ProtoNumber);
  if (fd < 0) return ReportSocketError("socket", WSocketLastError());
  AdoptHandle(fd);
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

  if (int err = Select(kListenerEvents); err != 0) ReportSocketError("WSAASyncSelect", err);
}

int TCustomWSocket::Accept() {
  if (state_ != wsListening) {
    ReportSocketError("not a listening socket", WSAEINVAL);
    return INVALID_SOCKET;
  }
  socklen_t len = sizeof(LastAddress);
  int fd = ::accept4(handle_.Get(), reinterpret_cast<sockaddr*>(&LastAddress), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
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

void TCustomWSocket::Dup(int NewHandle) {
  if (NewHandle < 0) return ReportSocketError("Dup", WSAEINVAL);
  if (state_ != wsClosed) {
    if (CloseHandle() < 0) return ReportSocketError("Dup (closesocket)", WSocketLastError());
    ChangeState(wsClosed);
  }
  AdoptHandle(NewHandle);
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
    ReportSocketError("setsockopt(SO_LINGER)", WSocketLastError());
}

// ---- closing ----

void TCustomWSocket::Close() { DoClose(true, 0); }

void TCustomWSocket::DoClose(bool Shut, uint16_t Error) {
  if (!handle_.Valid()) {
    if (state_ != wsClosed) {
      ChangeState(wsClosed);
      ResetDefaults();
    }
    return;
  }
  if (state_ == wsClosed) return;
  if (Shut) Shutdown(1);

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

  ChangeState(wsClosed);
  if (!Destroying() && !sessionClosedFired_) {
    sessionClosedFired_ = true;
    DoSessionClosed(Error);
  }
  try {
    ResetDefaults();
  } catch (const std::exception&) {
  }
}

void TCustomWSocket::CloseDelayed() { Post(WM_CLOSE_DELAYED, 0, 0); }

void TCustomWSocket::Release() { Post(WM_WSOCKET_RELEASE, 0, 0); }

void TCustomWSocket::Abort() {
  CancelDnsLookup();
  ClearSendQueue();
  if (state_ == wsConnected && ProtoNumber == IPPROTO_TCP) {
    LingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  DoClose(false, 0);
}

void TCustomWSocket::Shutdown(int How) {
  if (handle_.Valid()) ::shutdown(handle_.Get(), How);
}

void TCustomWSocket::Pause() {
  paused_ = true;
  Loop().AsyncSelect(handle_.Get(), endpoint_.Id(), 0);
}

void TCustomWSocket::Resume() {
  paused_ = false;
  Loop().AsyncSelect(handle_.Get(), endpoint_.Id(), SelectEvents);
}

void TCustomWSocket::PumpMessages() {
  Loop().ProcessMessages();
  if (MultiThreaded && Loop().Terminated()) Terminated = true;
}

void TCustomWSocket::DrainUntilClosed() {
  while (handle_.Valid() && state_ != wsClosed) {
    PumpMessages();
    int count = 0;
    if (PlatformReadableCount(count) != 0) break;
    if (count > 0) DoDataAvailable(0);
    char probe;
    if (RawReceive(&probe, 0, 0) <= 0 && WSocketLastError() != WSAEWOULDBLOCK) break;
    PumpMessages();
  }
}

// ---- reading ----

int TCustomWSocket::GetRcvdCount() {
  int count = 0;
  if (int err = PlatformReadableCount(count); err != 0) {
    ReportSocketError("ioctlSocket", err);
    return -1;
  }
  return count;
}

int TCustomWSocket::RawReceive(void* Buffer, int BufferSize, int Flags) {
  return static_cast<int>(::recv(handle_.Get(), Buffer, static_cast<size_t>(BufferSize), Flags));
}

int TCustomWSocket::RawReceiveFrom(void* Buffer, int BufferSize, int Flags, sockaddr_in& From,
                                   int& FromLen) {
  socklen_t len = static_cast<socklen_t>(FromLen);
  int n = static_cast<int>(::recvfrom(handle_.Get(), Buffer, static_cast<size_t>(BufferSize), Flags,
                                      reinterpret_cast<sockaddr*>(&From), &len));
  FromLen = static_cast<int>(len);
  return n;
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
  int n = RawReceive(Buffer, BufferSize, 0);
  if (n < 0)
    lastError_ = WSocketLastError();
  else
    readCount_ += n;
  return n;
}

std::string TCustomWSocket::ReceiveString() {
  int n = GetRcvdCount();
  if (n < 0) return std::string();
  if (n == 0) n = 255;
  std::string s(static_cast<size_t>(n), '\0');
  int got = Receive(s.data(), n);
  if (got <= 0) return std::string();
  s.resize(static_cast<size_t>(got));
  return s;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
  int n = RawReceiveFrom(Buffer, BufferSize, 0, From, FromLen);
  if (n < 0)
    lastError_ = WSocketLastError();
  else
    readCount_ += n;
  return n;
}

// ---- addresses ----

bool TCustomWSocket::PeerAddress(sockaddr_in& Peer, const char* FunctionName) {
  socklen_t len = sizeof(Peer);
  if (::getpeername(handle_.Get(), reinterpret_cast<sockaddr*>(&Peer), &len) == 0) return true;
  ReportSocketError(FunctionName, WSocketLastError());
  return false;
}

bool TCustomWSocket::BoundAddress(sockaddr_in& Local) const {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return false;
  socklen_t len = sizeof(Local);
  return ::getsockname(handle_.Get(), reinterpret_cast<sockaddr*>(&Local), &len) == 0;
}

std::string TCustomWSocket::GetPeerAddr() {
  sockaddr_in peer{};
  if (state_ != wsConnected || !PeerAddress(peer, "GetPeerName")) return "error";
  return WSocketDottedAddress(peer.sin_addr);
}

void TCustomWSocket::ReadPeerName(std::string& Addr, std::string& Port) {
  sockaddr_in peer{};
  if (state_ != wsConnected || !PeerAddress(peer, "GetPeerName")) {
    Addr = Port = "error";
    return;
  }
  Addr = WSocketDottedAddress(peer.sin_addr);
  Port = std::to_string(ntohs(peer.sin_port));
}

std::string TCustomWSocket::GetPeerPort() {
  sockaddr_in peer{};
  if (state_ != wsConnected || !PeerAddress(peer, "GetPeerPort")) return "error";
  return std::to_string(ntohs(peer.sin_port));
}

int TCustomWSocket::GetPeerName(sockaddr_in& Name, int NameLen) {
  if (state_ != wsConnected) return -1;
  socklen_t len = static_cast<socklen_t>(NameLen);
  return ::getpeername(handle_.Get(), reinterpret_cast<sockaddr*>(&Name), &len);
}

std::string TCustomWSocket::GetBoundPort() {
  sockaddr_in local{};
  return BoundAddress(local) ? std::to_string(ntohs(local.sin_port)) : "error";
}

std::string TCustomWSocket::GetBoundAddr() {
  sockaddr_in local{};
  return BoundAddress(local) ? WSocketDottedAddress(local.sin_addr) : "error";
}

std::string TCustomWSocket::GetLocalName() {
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) < 0) return std::string();
  return name;
}

}  // namespace ordwin
