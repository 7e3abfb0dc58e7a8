// accept_rate: how fast does a TWSocketServer take connections, what does each client object
// cost, and how long do 10,000 clients take to go?
//
// One loop, one TWSocketServer on 127.0.0.1. A child process opens N plain blocking connections,
// keeping at most kInFlight of them not yet accepted (the listen backlog is 5; a full accept
// queue makes the kernel drop the SYN and retry a second later). The server counts accepts in
// memory shared with the child. Two phases: an empty banner, then the default banner. Each
// phase reports connections per second (first connect to the N-th OnClientConnect) and resident
// memory per client object (VmRSS before and after, over N; the client ends live in the child).
// The first phase then ends with every peer closing at once (time until the last client object
// is released); the second by destroying the server with all its clients.
//
// Usage: accept_rate [--clients N (10000)]

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include "bench/BenchCommon.h"
#include "net/EventLoop.h"
#include "net/WSocketS.h"

namespace ordwin {
namespace {

using namespace bench;

constexpr long kInFlight = 4;
constexpr unsigned kWatchdogSeconds = 300;

// Lives in memory shared with the child: accepts seen by the server in the current phase.
struct TShared {
  std::atomic<long> Accepted{0};
};
static_assert(std::atomic<long>::is_always_lock_free, "the counter is shared between processes");

enum TCommand : int32_t { cmConnect = 1, cmCloseAll = 2, cmExit = 3 };
struct TRequest {
  int32_t Cmd;
  int32_t Port;
  int32_t Count;
};

// The child: plain blocking sockets, driven by requests on control.
[[noreturn]] void ChildMain(int control, TShared& s) {
  std::vector<int> open;
  for (;;) {
    TRequest req{};
    if (!ReadAll(control, &req, sizeof(req)) || req.Cmd == cmExit) {
      for (int fd : open) ::close(fd);
      ::_exit(0);
    }
    if (req.Cmd == cmConnect) {
      for (long i = 0; i < req.Count; ++i) {
        while (i - s.Accepted.load(std::memory_order_acquire) >= kInFlight) sched_yield();
        int fd = ConnectLoopback(static_cast<uint16_t>(req.Port));
        if (fd < 0) {
          std::fprintf(stderr, "%s child: connect %ld: %s\n", program_invocation_short_name, i, std::strerror(errno));
          ::_exit(1);
        }
        open.push_back(fd);
      }
    } else if (req.Cmd == cmCloseAll) {
      for (int fd : open) AbortiveClose(fd);
      open.clear();
    }
    int32_t ack = static_cast<int32_t>(open.size());
    WriteAll(control, &ack, sizeof(ack));
  }
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class TBench {
public:
  TBench(long clients, int control, TShared& s) : clients_(clients), control_(control), shared_(s) {}

  void RunPhase(const std::string& banner, bool endByDestroying) {
    auto server = std::make_unique<TWSocketServer>(nullptr);
    server->Banner = banner;
    server->SetAddr("127.0.0.1");
    server->SetPort("0");
    long accepted = 0, released = 0;
    server->OnClientConnect = [&](TObject*, TWSocketClient*, uint16_t) {
      shared_.Accepted.store(++accepted, std::memory_order_release);
      if (accepted == clients_) loop_.Terminate();
    };
    server->OnClientDisconnect = [&](TObject*, TWSocketClient*, uint16_t) {
      if (++released == clients_) loop_.Terminate();
    };
    server->Listen();
    const int port = std::stoi(server->GetBoundPort());
    shared_.Accepted.store(0);
    loop_.ProcessMessages();

    const long rssBefore = OwnResidentKiB();
    ::alarm(kWatchdogSeconds);
    auto start = std::chrono::steady_clock::now();
    TRequest req{cmConnect, port, static_cast<int32_t>(clients_)};
    WriteAll(control_, &req, sizeof(req));
    loop_.Run();
    const double acceptSeconds = Seconds(start);
    Ack(clients_);
    const long rssAfter = OwnResidentKiB();
    if (server->CountClients() != clients_) Fail("not every connection became a client object");

    std::printf(
        "banner %-22s %6ld connections in %7.3f s = %8.0f connections/s; "
        "%6.0f bytes resident per client object\n",
        banner.empty() ? "(empty)" : ("\"" + banner + "\"").c_str(), clients_, acceptSeconds,
        static_cast<double>(clients_) / acceptSeconds,
        static_cast<double>(rssAfter - rssBefore) * 1024.0 / static_cast<double>(clients_));

    if (endByDestroying) {
      start = std::chrono::steady_clock::now();
      server.reset();
      std::printf("  destroying the server with %ld clients: %.3f s\n", clients_, Seconds(start));
      CloseAll();
    } else {
      start = std::chrono::steady_clock::now();
      req = {cmCloseAll, 0, 0};
      WriteAll(control_, &req, sizeof(req));
      loop_.Run();
      Ack(0);
      std::printf("  all %ld peers closing at once: %.3f s until the last client object was released\n", clients_,
                  Seconds(start));
      if (server->CountClients() != 0) Fail("client objects left after every peer closed");
    }
    ::alarm(0);
  }

private:
  void CloseAll() {
    TRequest req{cmCloseAll, 0, 0};
    WriteAll(control_, &req, sizeof(req));
    Ack(0);
  }

  void Ack(long expected) {
    int32_t open = -1;
    if (!ReadAll(control_, &open, sizeof(open))) Fail("the child went away");
    if (open != expected) Fail("the child holds " + std::to_string(open) + " connections");
  }

  long clients_;
  int control_;
  TShared& shared_;
  TEventLoop& loop_ = TEventLoop::Instance();
};

int Main(int argc, char** argv) {
  long clients = 10000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--clients" && i + 1 < argc) {
      clients = std::strtol(argv[++i], nullptr, 10);
    } else {
      std::printf("usage: accept_rate [--clients N (10000)]\n");
      return a == "--help" || a == "-h" ? 0 : 1;
    }
  }
  if (clients <= 0) Fail("--clients must be positive");
  // Both ends of every connection fit in one process with the first figure; each process here
  // holds only its own ends, so N plus a margin is the least that will do.
  rlim_t limit = RaiseDescriptorLimit(static_cast<rlim_t>(2 * clients + 1000), static_cast<rlim_t>(clients + 100));
  InstallWatchdog("no progress for too long; the loop looks hung");

  void* mem = ::mmap(nullptr, sizeof(TShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) FailErrno("mmap");
  TShared* shared = new (mem) TShared;

  TChild child = StartChild([shared](int control) { ChildMain(control, *shared); });

  std::printf(
      "accept_rate: %ld connections to a TWSocketServer on 127.0.0.1, at most %ld waiting for "
      "accept, one loop (RLIMIT_NOFILE %llu, sizeof(TWSocketClient) %zu)\n",
      clients, kInFlight, static_cast<unsigned long long>(limit), sizeof(TWSocketClient));
  int rc = 0;
  try {
    TBench run(clients, child.Control, *shared);
    run.RunPhase("", false);
    run.RunPhase("Welcome to TcpSrv", true);
  } catch (const std::exception& e) {
    Complain(e.what());
    rc = 1;
  }
  TRequest bye{cmExit, 0, 0};
  WriteAll(child.Control, &bye, sizeof(bye));
  EndChild(child);
  return rc;
}

}  // namespace
}  // namespace ordwin

int main(int argc, char** argv) { return ordwin::Main(argc, argv); }
