// Outgoing connections of TCustomWSocket: Connect and the local bind.
#include "net/CustomWSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include "net/SelectEvents.h"
#include "net/WSocketResolve.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

constexpr uint32_t kOutgoingEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

}  // namespace

void TCustomWSocket::Connect() {
  if (handle_.Valid() && state_ != wsClosed) return RaiseError("Connect: Socket already in use");
  if (!portSet_) return RaiseError("Connect: No Port Specified");
  if (!addrSet_) return RaiseError("Connect: No IP Address Specified");
  if (!protoSet_) return RaiseError("Connect: No Protocol Specified");
  try {
    ResolveTarget();
    if (!localPortResolved_) {
      LocalPortNumber = WSocketResolvePort(LocalPort(), Proto());
      localPortResolved_ = true;
    }
  } catch (const Exception& e) {
    return RaiseError("connect: " + e.Message());
  }

  if (!OpenHandle("Connect (socket)")) return;
  const int fd = handle_.Get();
  ChangeState(wsOpened);

  const bool datagram = SocketType == SOCK_DGRAM;
  if (datagram) {
    BindLocal();
    if (LastAddress.sin_addr.s_addr == INADDR_BROADCAST) SetSocketOption(SO_BROADCAST, "setsockopt(SO_BROADCAST)");
  } else {
    SetSocketOption(SO_REUSEADDR, "setsockopt(SO_REUSEADDR)");
    ApplyLinger();
    SetSocketOption(SO_KEEPALIVE, "setsockopt(SO_KEEPALIVE)");
    if (LocalPortNumber != 0 || LocalAddr() != "0.0.0.0") BindLocal();
  }

  if (int err = Select(kOutgoingEvents); err != 0) return ReportSocketError("WSAAsyncSelect", err);
  if (datagram) {
    ChangeState(wsConnected);
    DoSessionConnected(0);
    return;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&LastAddress), sizeof(LastAddress)) < 0) {
    int code = WSocketLastError();
    if (code != WSAEWOULDBLOCK && code != WSAEINPROGRESS) {
      // A connection that never started has nothing to report: no close follows the error.
      Loop().AsyncSelect(fd, endpoint_.Id(), 0);
      return ReportSocketError("Connect", code);
    }
  }
  Loop().WatchConnect(fd);
  ChangeState(wsConnecting);
}

void TCustomWSocket::ConnectVia(uint32_t address, uint16_t port) {
  LastAddress.sin_addr.s_addr = address;
  LastAddress.sin_port = port;
  addrResolved_ = portResolved_ = true;
}

void TCustomWSocket::SetSocketOption(int option, const char* functionName) {
  int on = 1;
  if (::setsockopt(handle_.Get(), SOL_SOCKET, option, &on, sizeof(on)) < 0)
    ReportSocketError(functionName, WSocketLastError());
}

void TCustomWSocket::BindLocal() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(LocalPortNumber));
  local.sin_addr.s_addr = WSocketResolveHost(LocalAddr());
  if (::bind(handle_.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) < 0) {
    lastError_ = WSocketLastError();
    return RaiseErrorFmt("winsock.bind failed, error #%d", lastError_);
  }
  socklen_t len = sizeof(local);
  if (::getsockname(handle_.Get(), reinterpret_cast<sockaddr*>(&local), &len) < 0) {
    lastError_ = WSocketLastError();
    return RaiseErrorFmt("winsock.getsockname failed, error #%d", lastError_);
  }
  LocalPortNumber = ntohs(local.sin_port);
  MutableTarget().LocalPort = std::to_string(LocalPortNumber);
}

}  // namespace ordwin
