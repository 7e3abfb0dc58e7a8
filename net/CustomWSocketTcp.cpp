// The TCP options of TCustomWSocket: what a server sets on its connections to notice a peer
// that vanished, and the platform's word on whether the peer still acknowledges.
#include "net/CustomWSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

int SetOption(int fd, int level, int option, int value) {
  if (fd < 0) return WSAENOTSOCK;
  return ::setsockopt(fd, level, option, &value, sizeof(value)) == 0 ? 0 : WSocketLastError();
}

}  // namespace

int TCustomWSocket::SetNoDelay(bool on) { return SetOption(handle_.Get(), IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

int TCustomWSocket::SetKeepAlive(int idleSeconds, int intervalSeconds, int probes) {
  const int fd = handle_.Get();
  if (int err = SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds); err != 0) return err;
  if (int err = SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds); err != 0) return err;
  if (int err = SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, probes); err != 0) return err;
  return SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
}

int TCustomWSocket::SetUserTimeout(int ms) { return SetOption(handle_.Get(), IPPROTO_TCP, TCP_USER_TIMEOUT, ms); }

bool TCustomWSocket::PeerStoppedAcknowledging() const {
  tcp_info info{};
  socklen_t length = sizeof(info);
  if (!handle_.Valid() || ::getsockopt(handle_.Get(), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
  // Both counters go back to 0 with the first acknowledgement that arrives.
  return info.tcpi_state != TCP_ESTABLISHED || info.tcpi_retransmits > 0 || info.tcpi_probes > 0;
}

}  // namespace ordwin
