// connect_lookup: how fast does one loop complete outgoing connections and name lookups when N
// of them are in flight at once, and does the loop ever stall meanwhile?
//
// Connections: N TWSockets call Connect in one go to a listener in a child process (a plain
// accept loop with a deep backlog, so that the kernel never drops a SYN); the figure runs from
// the first Connect to the N-th OnSessionConnected(0). Lookups: N TWSockets call DnsLookup in
// one go for N different names, answered by a DNS responder thread of this process on
// 127.0.0.1 (tests/net/DnsResponder.h); the figure runs to the N-th OnDnsLookupDone(0), and
// every answer is checked. For both: how long the stretch that starts all N took on the loop's
// thread, and the longest single turn of the loop afterwards.
//
// Usage: connect_lookup [--count N (1000)] [--rounds R (3)]

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchCommon.h"
#include "net/DnsChannel.h"
#include "net/EventLoop.h"
#include "net/WSocket.h"
#include "tests/net/DnsResponder.h"

namespace ordwin {
namespace {

using namespace bench;
using TClock = std::chrono::steady_clock;

constexpr unsigned kWatchdogSeconds = 120;
constexpr int kBacklog = 4096;

enum TCommand : int32_t { cmCloseAll = 1 };

double Ms(TClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The child: accepts every connection and keeps it until told to close them all.
[[noreturn]] void ListenerMain(int control) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddress(0);
  socklen_t len = sizeof(a);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0 || ::listen(listener, kBacklog) < 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) < 0)
    FailErrno("child listener");
  int32_t port = ntohs(a.sin_port);
  WriteAll(control, &port, sizeof(port));
  std::vector<int> open;
  for (;;) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {control, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents & POLLIN) {
      int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) open.push_back(fd);
    }
    if (fds[1].revents) {
      int32_t cmd = 0;
      if (!ReadAll(control, &cmd, sizeof(cmd))) ::_exit(0);
      for (int fd : open) AbortiveClose(fd);
      open.clear();
      WriteAll(control, &cmd, sizeof(cmd));
    }
  }
}

struct TFigures {
  double StartMs = 0;    // the stretch that started all N
  double TotalMs = 0;    // from the first start to the N-th completion
  double LongestMs = 0;  // the longest turn after the start
};

// Runs turns until done holds, timing each turn but not the waits between them.
template <class TPredicate>
double LongestTurnUntil(TPredicate done) {
  TEventLoop& loop = TEventLoop::Instance();
  double longest = 0;
  while (!done()) {
    loop.WaitForWork(1000);
    auto t0 = TClock::now();
    loop.ProcessMessages();
    longest = std::max(longest, Ms(TClock::now() - t0));
  }
  return longest;
}

TFigures ConnectRound(int count, int port) {
  std::vector<std::unique_ptr<TWSocket>> sockets;
  int connected = 0;
  auto t0 = TClock::now();
  for (int i = 0; i < count; ++i) {
    sockets.push_back(std::make_unique<TWSocket>(nullptr));
    TWSocket& s = *sockets.back();
    s.OnSessionConnected = [&connected](TObject*, uint16_t error) {
      if (error != 0) Fail("connect failed with " + std::to_string(error));
      ++connected;
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
  }
  TFigures f;
  f.StartMs = Ms(TClock::now() - t0);
  f.LongestMs = LongestTurnUntil([&] { return connected == count; });
  f.TotalMs = Ms(TClock::now() - t0);
  for (auto& s : sockets) s->Abort();
  return f;
}

std::string AddressOf(int i) { return "10.77." + std::to_string(i / 256) + "." + std::to_string(i % 256); }

TFigures LookupRound(int count) {
  std::vector<std::unique_ptr<TWSocket>> sockets;
  int answered = 0;
  auto t0 = TClock::now();
  for (int i = 0; i < count; ++i) {
    sockets.push_back(std::make_unique<TWSocket>(nullptr));
    TWSocket& s = *sockets.back();
    s.OnDnsLookupDone = [&answered, &s, i](TObject*, uint16_t error) {
      if (error != 0) Fail("lookup " + std::to_string(i) + " failed with " + std::to_string(error));
      if (s.DnsResult() != AddressOf(i)) Fail("lookup " + std::to_string(i) + " answered " + s.DnsResult());
      ++answered;
    };
    s.DnsLookup("n" + std::to_string(i) + ".bench");
  }
  TFigures f;
  f.StartMs = Ms(TClock::now() - t0);
  f.LongestMs = LongestTurnUntil([&] { return answered == count; });
  f.TotalMs = Ms(TClock::now() - t0);
  return f;
}

void Report(const char* what, int round, int count, const TFigures& f) {
  std::printf(
      "%-11s round %d: %5d in %8.2f ms = %8.0f completions/s; starting them %6.2f ms; "
      "longest turn after %6.2f ms\n",
      what, round, count, f.TotalMs, count / (f.TotalMs / 1000.0), f.StartMs, f.LongestMs);
}

int Main(int argc, char** argv) {
  int count = 1000, rounds = 3;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--count") {
      count = std::atoi(OptionValue(argc, argv, i));
    } else if (a == "--rounds") {
      rounds = std::atoi(OptionValue(argc, argv, i));
    } else {
      std::printf("usage: connect_lookup [--count N (1000)] [--rounds R (3)]\n");
      return a == "--help" || a == "-h" ? 0 : 1;
    }
  }
  if (count <= 0 || rounds <= 0) Fail("--count and --rounds must be positive");
  rlim_t limit = RaiseDescriptorLimit(static_cast<rlim_t>(2 * count + 200), static_cast<rlim_t>(count + 100));
  InstallWatchdog("no progress for too long; the loop looks hung");

  TChild child = StartChild([](int control) { ListenerMain(control); });
  int32_t port = 0;
  if (!ReadAll(child.Control, &port, sizeof(port))) Fail("the listener did not start");

  std::map<std::string, test::TDnsResponder::TName> names;
  for (int i = 0; i < count; ++i)
    names["n" + std::to_string(i) + ".bench"] = {{AddressOf(i)}, "", test::TDnsResponder::TBehaviour::bhAnswer};
  test::TDnsResponder dns(names);
  TEventLoop::Instance().Dns().Configure({dns.Server(), 2000, 3});

  std::printf("connect_lookup: %d at once on one loop, %d rounds (RLIMIT_NOFILE %llu)\n", count, rounds,
              static_cast<unsigned long long>(limit));
  for (int r = 1; r <= rounds; ++r) {
    ::alarm(kWatchdogSeconds);
    Report("connections", r, count, ConnectRound(count, port));
    int32_t cmd = cmCloseAll;
    WriteAll(child.Control, &cmd, sizeof(cmd));
    if (!ReadAll(child.Control, &cmd, sizeof(cmd))) Fail("the listener went away");
    Report("lookups", r, count, LookupRound(count));
    ::alarm(0);
  }
  std::printf("DNS questions answered by the responder: %d\n", dns.Questions());
  EndChild(child);
  return 0;
}

}  // namespace
}  // namespace ordwin

int main(int argc, char** argv) { return ordwin::Main(argc, argv); }
