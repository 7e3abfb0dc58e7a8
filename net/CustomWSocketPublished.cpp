// What TCustomWSocket publishes and nothing in the program uses: waiting until the queue has
// gone or the peer has closed, pausing, datagrams to and from a given address, the raw peer
// address, the local host name and the diagnostics notification.
#include "net/CustomWSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include "net/SelectEvents.h"
#include "net/WinsockErrors.h"

namespace ordwin {

int TCustomWSocket::SendTo(const sockaddr_in& dest, const void* data, int len) {
  ssize_t n = ::sendto(handle_.Get(), data, static_cast<size_t>(len), PlatformSendFlags(),
                       reinterpret_cast<const sockaddr*>(&dest), sizeof(dest));
  NotifySendData(n);
  return static_cast<int>(n);
}

void TCustomWSocket::Flush() {
  const TDestructionHold hold(*this);
  while (handle_.Valid() && !sendQueueEmpty_) {
    TryToSend();
    PumpMessages();
  }
}

int TCustomWSocket::RawReceiveFrom(void* buffer, int bufferSize, int flags, sockaddr_in& from, int& fromLen) {
  socklen_t len = static_cast<socklen_t>(fromLen);
  int n = static_cast<int>(::recvfrom(handle_.Get(), buffer, static_cast<size_t>(bufferSize), flags,
                                      reinterpret_cast<sockaddr*>(&from), &len));
  fromLen = static_cast<int>(len);
  return n;
}

int TCustomWSocket::ReceiveFrom(void* buffer, int bufferSize, sockaddr_in& from, int& fromLen) {
  int n = RawReceiveFrom(buffer, bufferSize, 0, from, fromLen);
  if (n < 0)
    lastError_ = WSocketLastError();
  else
    readCount_ += n;
  return n;
}

void TCustomWSocket::Pause() {
  paused_ = true;
  Loop().AsyncSelect(handle_.Get(), endpoint_.Id(), 0);
}

void TCustomWSocket::Resume() {
  paused_ = false;
  Loop().AsyncSelect(handle_.Get(), endpoint_.Id(), SelectEvents);
  if (state_ == wsConnecting) Loop().WatchConnect(handle_.Get());
}

void TCustomWSocket::DrainUntilClosed() {
  const TDestructionHold hold(*this);
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

int TCustomWSocket::GetPeerName(sockaddr_in& name, int nameLen) {
  if (state_ != wsConnected) return -1;
  socklen_t len = static_cast<socklen_t>(nameLen);
  return ::getpeername(handle_.Get(), reinterpret_cast<sockaddr*>(&name), &len);
}

std::string TCustomWSocket::GetLocalName() {
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) < 0) return std::string();
  return name;
}

void TCustomWSocket::HandlePublishedNotification(const TMessage& msg) {
  if (msg.Msg == WM_TRIGGER_EXCEPTION) throw ESocketException("Test exception in WSocket");
}

}  // namespace ordwin
