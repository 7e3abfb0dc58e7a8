// Helpers shared by the fuzz targets: the input read as a sequence of fields, connected socket
// pairs whose far end the target writes and drains, and turns of the program's event loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/EventLoop.h"
#include "net/SocketHandle.h"

namespace ordwin::fuzz {

// The fuzz input, taken from the front field by field; reads past the end give zeros and
// empty strings.
class TFuzzInput {
public:
  TFuzzInput(const uint8_t* Data, size_t Size) : data_(Data), size_(Size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Short() {
    uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  // Up to Max bytes (fewer at the end of the input).
  std::string Bytes(size_t Max) {
    size_t n = Max < size_ - at_ ? Max : size_ - at_;
    if (at_ >= size_) n = 0;
    std::string s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }
  std::string Rest() { return Bytes(size_); }

private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A connected pair of stream sockets: the object under test adopts Near (Release hands it
// over), the target plays the peer on Far.
struct TSocketPair {
  SocketHandle Near, Far;
  TSocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
      Near = SocketHandle(fds[0]);
      Far = SocketHandle(fds[1]);
    }
  }
};

inline void Pump(int Turns) {
  for (int i = 0; i < Turns; ++i) EventLoop::Instance().ProcessMessages();
}

// Bytes written to Fd that its peer has not read yet.
inline int Unread(int Fd) {
  int n = 0;
  return ::ioctl(Fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

// Writes what Fd takes of Data without waiting.
inline void Offer(int Fd, const std::string& Data) {
  if (!Data.empty()) (void)::send(Fd, Data.data(), Data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Pumps until the peer of Fd has read everything written to it, or Turns have passed.
inline void PumpUntilRead(int Fd, int Turns = 64) {
  for (int i = 0; i < Turns && Unread(Fd) > 0; ++i) Pump(1);
  Pump(2);
}

// Reads and drops what has come to Fd.
inline void Drain(int Fd) {
  char buffer[65536];
  while (::recv(Fd, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
  }
}

}  // namespace ordwin::fuzz
