// The addresses of TCustomWSocket: the peer's and the bound local one, read from the platform.
#include "net/CustomWSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include "net/WSocketResolve.h"
#include "net/WinsockErrors.h"

namespace ordwin {

bool TCustomWSocket::PeerAddress(sockaddr_in& peer, const char* functionName) {
  socklen_t len = sizeof(peer);
  if (::getpeername(handle_.Get(), reinterpret_cast<sockaddr*>(&peer), &len) == 0) return true;
  ReportSocketError(functionName, WSocketLastError());
  return false;
}

bool TCustomWSocket::BoundAddress(sockaddr_in& local) const {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return false;
  socklen_t len = sizeof(local);
  return ::getsockname(handle_.Get(), reinterpret_cast<sockaddr*>(&local), &len) == 0;
}

std::string TCustomWSocket::GetPeerAddr() {
  sockaddr_in peer{};
  if (state_ != wsConnected || !PeerAddress(peer, "GetPeerName")) return "error";
  return WSocketDottedAddress(peer.sin_addr);
}

bool TCustomWSocket::ReadPeerName(sockaddr_in& peer) {
  return state_ == wsConnected && PeerAddress(peer, "GetPeerName");
}

std::string TCustomWSocket::GetPeerPort() {
  sockaddr_in peer{};
  if (state_ != wsConnected || !PeerAddress(peer, "GetPeerPort")) return "error";
  return std::to_string(ntohs(peer.sin_port));
}

std::string TCustomWSocket::GetBoundPort() {
  sockaddr_in local{};
  return BoundAddress(local) ? std::to_string(ntohs(local.sin_port)) : "error";
}

std::string TCustomWSocket::GetBoundAddr() {
  sockaddr_in local{};
  return BoundAddress(local) ? WSocketDottedAddress(local.sin_addr) : "error";
}

}  // namespace ordwin
