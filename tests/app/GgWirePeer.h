// TGgWirePeer: a 6.0 GG client of the kind a person runs, reduced to blocking reads of whole
// packets on port 8074 of the loopback, for the whole-program tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "gg/GgBytes.h"

namespace ordwin::test {

inline std::string Le(int32_t v) { return IntToLeBytes(v); }
inline int32_t ReadLe(const std::string& s, size_t at) { return LeBytesToInt(s, at); }

inline std::string Packet(int32_t type, const std::string& payload) {
  return Le(type) + Le(static_cast<int32_t>(payload.size())) + payload;
}

class TGgWirePeer {
public:
  TGgWirePeer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8074);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  }
  ~TGgWirePeer() { Close(); }
  bool Connected() const { return connected_; }

  void Send(int32_t type, const std::string& payload) {
    std::string p = Packet(type, payload);
    ASSERT_EQ(::send(fd_, p.data(), p.size(), MSG_NOSIGNAL), static_cast<ssize_t>(p.size()));
  }
  // The next whole packet: its type and payload; type -1 when the connection ended.
  std::pair<int32_t, std::string> Receive() {
    std::string header = ReadExactly(8);
    if (header.size() < 8) return {-1, ""};
    int32_t length = ReadLe(header, 4);
    return {ReadLe(header, 0), ReadExactly(static_cast<size_t>(length))};
  }
  // Reads until a packet for which Match(type, payload) holds has come, passing over the others;
  // false when the connection ended or went quiet first.
  template <class TPredicate>
  bool SawWhere(TPredicate match) {
    for (;;) {
      auto p = Receive();
      if (p.first == -1) return false;
      if (match(p.first, p.second)) return true;
    }
  }
  bool Saw(int32_t type, const std::string& payload) {
    return SawWhere([&](int32_t t, const std::string& p) { return t == type && p == payload; });
  }
  // Whether the server ended the connection (nothing more arrives).
  bool Ended() {
    char b;
    return ::recv(fd_, &b, 1, 0) <= 0;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

private:
  std::string ReadExactly(size_t count) {
    std::string out(count, '\0');
    size_t got = 0;
    while (got < count) {
      ssize_t n = ::recv(fd_, out.data() + got, count - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    out.resize(got);
    return out;
  }

  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace ordwin::test
