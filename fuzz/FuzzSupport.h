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

#include "net/Descriptor.h"
#include "net/EventLoop.h"

namespace ordwin::fuzz {

// The fuzz input, taken from the front field by field; reads past the end give zeros and
// empty strings.
class TFuzzInput {
public:
  TFuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Short() {
    uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  // Up to max bytes (fewer at the end of the input).
  std::string Bytes(size_t max) {
    size_t n = max < size_ - at_ ? max : size_ - at_;
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
  TDescriptor Near, Far;
  TSocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
      Near = TDescriptor(fds[0]);
      Far = TDescriptor(fds[1]);
    }
  }
};

inline void Pump(int turns) {
  for (int i = 0; i < turns; ++i) TEventLoop::Instance().ProcessMessages();
}

// Turns until one delivers nothing, or turns have passed: spinning on a loop with nothing to
// deliver is where most of a run's time went.
inline void PumpUntilIdle(int turns = 64) {
  for (int i = 0; i < turns && TEventLoop::Instance().ProcessMessages(); ++i) {
  }
}

// Bytes written to fd that its peer has not read yet.
inline int Unread(int fd) {
  int n = 0;
  return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

// Writes what fd takes of data without waiting.
inline void Offer(int fd, const std::string& data) {
  if (!data.empty()) (void)::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Pumps until the peer of fd has read everything written to it, a turn delivers nothing (the
// peer is not reading), or turns have passed.
inline void PumpUntilRead(int fd, int turns = 64) {
  for (int i = 0; i < turns && Unread(fd) > 0 && TEventLoop::Instance().ProcessMessages(); ++i) {
  }
  Pump(2);
}

// Reads and drops what has come to fd.
inline void Drain(int fd) {
  char buffer[65536];
  while (::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
  }
}

}  // namespace ordwin::fuzz
