// Helpers for tests that run the real event loop over loopback sockets: pump until a condition
// holds (bounded), plain client sockets for the far end, and the end-of-test leak check.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/EventLoop.h"
#include "net/SocketHandle.h"

namespace ordwin::test {

// Runs loop turns until Done() holds or Seconds pass; returns whether it held.
inline bool PumpUntil(const std::function<bool()>& Done, double Seconds = 5.0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(Seconds);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    EventLoop::Instance().ProcessMessages();
  }
  return true;
}

// Runs a few turns so that whatever is ready now gets delivered.
inline void PumpTurns(int Turns = 20) {
  for (int i = 0; i < Turns; ++i) EventLoop::Instance().ProcessMessages();
}

// A plain blocking client connected to 127.0.0.1:Port.
inline SocketHandle ConnectTo(int Port) {
  SocketHandle h(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(h.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return SocketHandle();
  return h;
}

inline void SendAll(int Fd, const std::string& Data) {
  size_t off = 0;
  while (off < Data.size()) {
    ssize_t n = ::send(Fd, Data.data() + off, Data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

// Reads what is there without blocking.
inline std::string ReadAvailable(int Fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(Fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Closes with a reset instead of an orderly end.
inline void ResetAndClose(SocketHandle& H) {
  linger l{1, 0};
  ::setsockopt(H.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  H.Close();
}

// Fails the test when a test left descriptors watched, notifications queued or endpoints alive.
class LoopTest : public ::testing::Test {
protected:
  void SetUp() override {
    endpoints_ = EventLoop::Instance().LiveEndpoints();
    PumpTurns(2);
  }
  void TearDown() override {
    PumpTurns(5);
    EXPECT_EQ(EventLoop::Instance().WatchedDescriptors(), 0);
    EXPECT_EQ(EventLoop::Instance().PendingPosts(), 0u);
    EXPECT_EQ(EventLoop::Instance().LiveEndpoints(), endpoints_);
  }

private:
  size_t endpoints_ = 0;
};

}  // namespace ordwin::test
