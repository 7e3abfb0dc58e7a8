// TGgTestPeer: the far end of a GG connection in tests. A plain socket that sends GG packets and
// collects whole packets while it pumps the loop, so that the server in the same thread runs.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "gg/GgBytes.h"
#include "tests/net/TestLoop.h"

namespace ordwin::test {

// A byte string from a list of byte values.
inline std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

inline std::string Le(int32_t value) { return IntToLeBytes(value); }

// A byte string from hexadecimal digits, as packets captured on the wire are written down.
inline std::string FromHex(std::string_view hex) {
  std::string s;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    s += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return s;
}

// One packet as it goes on the wire: type, payload length, payload.
inline std::string GgPacketBytes(int32_t type, const std::string& payload) {
  return Le(type) + Le(static_cast<int32_t>(payload.size())) + payload;
}

// Bytes in a heap block of exactly their size, so that the sanitizers catch a read one past
// the end (a std::string always has room for its NUL, and short ones live inside it).
class TExactBytes {
public:
  explicit TExactBytes(std::string_view bytes) : data_(new char[bytes.size()]), size_(bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), data_.get());
  }
  operator std::string_view() const { return {data_.get(), size_}; }

private:
  std::unique_ptr<char[]> data_;
  size_t size_;
};

struct TGgPacket {
  int32_t Type = -1;
  std::string Payload;
};

class TGgTestPeer {
public:
  explicit TGgTestPeer(int port) : TGgTestPeer(ConnectTo(port)) {}
  // Over a connection made elsewhere (another address or network).
  explicit TGgTestPeer(TDescriptor connected) : handle_(std::move(connected)) {
    EXPECT_TRUE(handle_.Valid());
    // Each send leaves at once, so that a test decides where the server's reads split.
    int one = 1;
    ::setsockopt(handle_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }

  int Fd() const { return handle_.Get(); }

  void Send(int32_t type, const std::string& payload) { SendRaw(GgPacketBytes(type, payload)); }
  // Pumps the loop while the socket is full, so that a large send cannot stall the server
  // that would read it.
  void SendRaw(const std::string& data) {
    size_t off = 0;
    bool ok = PumpUntil(
        [&] {
          while (off < data.size()) {
            ssize_t n = ::send(handle_.Get(), data.data() + off, data.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
              off += static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
              Fill();  // the server may be waiting for this side to read before it reads on
              return false;
            } else {
              return true;  // the connection is gone: the rest cannot be sent
            }
          }
          return true;
        },
        30);
    EXPECT_TRUE(ok) << "send stalled";
  }

  // Pumps until a whole packet has come, and takes it; false when none came in time.
  bool Receive(TGgPacket& out, double seconds = 5.0) {
    if (!PumpUntil([&] { return Fill(), WholePacket(); }, seconds)) return false;
    size_t length = static_cast<size_t>(LeBytesToInt(buffer_, 4));
    out.Type = LeBytesToInt(buffer_, 0);
    out.Payload = buffer_.substr(8, length);
    buffer_.erase(0, 8 + length);
    return true;
  }

  // The next packet; fails the test when none comes.
  TGgPacket Next() {
    TGgPacket p;
    EXPECT_TRUE(Receive(p)) << "no packet came";
    return p;
  }

  // Pumps a few turns and takes every byte that came meanwhile, whole packets or not.
  std::string Unread(int turns = 20) {
    PumpTurns(turns);
    Fill();
    std::string out;
    out.swap(buffer_);
    return out;
  }

  // Pumps until the server has ended the connection (orderly or by reset). Bytes that came
  // before the end stay readable.
  bool WaitEnded(double seconds = 5.0) {
    return PumpUntil([&] { return Fill(), ended_; }, seconds);
  }

  void Close() { handle_.Close(); }
  // Ends the connection with a reset instead of an orderly close.
  void Reset() { ResetAndClose(handle_); }

private:
  bool WholePacket() const {
    if (buffer_.size() < 8) return false;
    int32_t length = LeBytesToInt(buffer_, 4);
    return length >= 0 && buffer_.size() - 8 >= static_cast<size_t>(length);
  }

  void Fill() {
    if (ended_ || !handle_.Valid()) return;
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(handle_.Get(), buf, sizeof(buf), MSG_DONTWAIT);
      if (n > 0) {
        buffer_.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) ended_ = true;
      return;
    }
  }

  TDescriptor handle_;
  std::string buffer_;
  bool ended_ = false;
};

}  // namespace ordwin::test
