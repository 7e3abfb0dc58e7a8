// TDescriptor: the move-only owner of one descriptor of any kind (a socket, the epoll set, the
// loop's wake eventfd, the signal descriptor, a pipe or terminal, a file); its destructor is the
// only implicit close. WriteAll: the whole of a text written to a descriptor that blocks.
#pragma once

#include <string_view>

#include <unistd.h>

namespace ordwin {

constexpr int INVALID_SOCKET = -1;

class TDescriptor {
public:
  TDescriptor() = default;
  explicit TDescriptor(int fd) : fd_(fd) {}
  ~TDescriptor() { Close(); }
  TDescriptor(TDescriptor&& other) noexcept : fd_(other.Release()) {}
  TDescriptor& operator=(TDescriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.Release();
    }
    return *this;
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ != INVALID_SOCKET; }
  int Release() {
    int fd = fd_;
    fd_ = INVALID_SOCKET;
    return fd;
  }
  // Closes the descriptor; the holder is empty afterwards whatever the result, as the
  // descriptor is gone on Linux even when close reports an error. Returns close's result.
  int Close() {
    if (fd_ == INVALID_SOCKET) return 0;
    return ::close(Release());
  }

private:
  int fd_ = INVALID_SOCKET;
};

// Writes all of data to fd, again after a signal; false where a write fails or takes nothing.
bool WriteAll(int fd, std::string_view data);

}  // namespace ordwin
