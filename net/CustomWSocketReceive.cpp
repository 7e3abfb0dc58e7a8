// The reading side of TCustomWSocket: the read handler that offers what arrived to
// OnDataAvailable, and the reads a handler makes.
#include "net/CustomWSocket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include "net/WinsockErrors.h"

namespace ordwin {

void TCustomWSocket::ReceiveLoop(uint16_t error, TWSocketOptions options) {
  const uint32_t registration = registration_;
  for (;;) {
    lastError_ = 0;
    readDrained_ = false;
    bool handled;
    try {
      dataHandlerFailed_ = false;
      handled = DoDataAvailable(error);
    } catch (const std::exception&) {
      if (!dataHandlerFailed_) throw;
      return;  // a failing data handler ends this read round only
    }
    if (!handled) {
      char discard[1024];
      if (RawReceive(discard, sizeof(discard), 0) < 0) {
        lastError_ = WSocketLastError();
        if (lastError_ == WSAEWOULDBLOCK) {
          lastError_ = 0;
          return;
        }
      }
    }
    if (options & wsoNoReceiveLoop) return;
    if (lastError_ != 0) return;
    if (registration_ != registration) return;  // the handler closed the connection
    if (readDrained_) return;
    int count = 0;
    int err = PlatformReadableCount(count);
    if (err != 0) {
      lastError_ = err;
      return;
    }
    if (count == 0) return;
  }
}

int TCustomWSocket::PlatformReadableCount(int& count) const {
  count = 0;
  if (!handle_.Valid()) return WSAENOTSOCK;
  if (::ioctl(handle_.Get(), FIONREAD, &count) < 0) return WSocketLastError();
  return 0;
}

int TCustomWSocket::GetRcvdCount() {
  int count = 0;
  if (int err = PlatformReadableCount(count); err != 0) {
    ReportSocketError("ioctlSocket", err);
    return -1;
  }
  return count;
}

int TCustomWSocket::RawReceive(void* buffer, int bufferSize, int flags) {
  return static_cast<int>(::recv(handle_.Get(), buffer, static_cast<size_t>(bufferSize), flags));
}

int TCustomWSocket::Receive(void* buffer, int bufferSize) {
  int n = RawReceive(buffer, bufferSize, 0);
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

}  // namespace ordwin
