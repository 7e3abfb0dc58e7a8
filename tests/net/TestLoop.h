// Helpers for tests that run the real event loop over loopback sockets: pump until a condition
// holds (bounded), plain client sockets for the far end, and the end-of-test leak check.
#pragma once

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/Descriptor.h"
#include "net/EventLoop.h"
#include "tests/net/LoopResidue.h"

namespace ordwin::test {

// Runs loop turns until Done() holds or seconds pass; returns whether it held.
inline bool PumpUntil(const std::function<bool()>& done, double seconds = 5.0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    TEventLoop::Instance().ProcessMessages();
  }
  return true;
}

// Runs a few turns so that whatever is ready now gets delivered.
inline void PumpTurns(int turns = 20) {
  for (int i = 0; i < turns; ++i) TEventLoop::Instance().ProcessMessages();
}

// Connects the blocking stream socket fd to 127.0.0.1 (or address):Port; returns whether it connected.
inline bool ConnectSocket(int fd, int port, in_addr_t address = htonl(INADDR_LOOPBACK)) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = address;
  return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
}

// A plain blocking client connected to 127.0.0.1:Port.
inline TDescriptor ConnectTo(int port) {
  TDescriptor h(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!ConnectSocket(h.Get(), port)) return TDescriptor();
  return h;
}

inline void SendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

// Reads what is there without blocking.
inline std::string ReadAvailable(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Appends what the peer has received to got, without waiting; returns whether its connection
// has ended (orderly or by reset).
inline bool DrainPeer(int fd, std::string& got) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
      continue;
    }
    return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }
}

// Leaves the process without a free descriptor: the limit is lowered to a little above Highest
// and every descriptor below it is taken. GiveBack (or the destructor) returns them all and the
// old limit. Not under the sanitizers, whose own checks need descriptors.
class TDescriptorsUsedUp {
public:
  explicit TDescriptorsUsedUp(int highest) {
    EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &old_), 0);
    rlimit low = old_;
    low.rlim_cur = static_cast<rlim_t>(highest + 8);
    EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = ::dup(0)) >= 0;) taken_.emplace_back(fd);
  }
  ~TDescriptorsUsedUp() { GiveBack(); }
  TDescriptorsUsedUp(const TDescriptorsUsedUp&) = delete;
  TDescriptorsUsedUp& operator=(const TDescriptorsUsedUp&) = delete;

  void GiveBack() {
    if (given_) return;
    given_ = true;
    taken_.clear();
    EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &old_), 0);
  }

private:
  rlimit old_{};
  std::vector<TDescriptor> taken_;
  bool given_ = false;
};

// Closes with a reset instead of an orderly end.
inline void ResetAndClose(TDescriptor& h) {
  linger l{1, 0};
  ::setsockopt(h.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  h.Close();
}

// Fails the test when a test left descriptors watched, notifications queued, or endpoints or
// socket objects alive.
class LoopTest : public ::testing::Test {
protected:
  void SetUp() override {
    clean_ = TLoopResidue::Now().Clean();
    PumpTurns(2);
  }
  void TearDown() override {
    PumpTurns(5);
    EXPECT_EQ(TLoopResidue::Now().Text(), clean_.Text());
  }

private:
  TLoopResidue clean_;
};

}  // namespace ordwin::test
