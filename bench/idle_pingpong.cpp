// idle_pingpong: does a crowd of idle connections slow the loop down, and what does each cost?
//
// One loop, one listener. An active pair (an accepted TWSocket and a TWSocket adopting the
// client end of the same connection) ping-pongs 1-byte messages, first with no other
// connection, then while the loop also holds N idle accepted connections, then again after they
// are gone (that last row shows how much of the difference is noise from the machine). The
// client ends of the idle connections live in a child process, so the resident memory figure is
// the server side alone: VmRSS read before and after accepting them, divided by N.
//
// Usage: idle_pingpong [--round-trips N] [--idle N] [--warmup N]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include "bench/BenchCommon.h"
#include "net/EventLoop.h"
#include "net/Exception.h"
#include "net/WSocket.h"

namespace ordwin {
namespace {

using namespace bench;

struct TOptions {
  long RoundTrips = 200000;
  long Idle = 10000;
  long Warmup = 20000;
};

// Connections the child opens before waiting for the loop to accept them: the listener's
// backlog is small, and a full accept queue makes the kernel drop the SYN and retry a second
// later, which would dominate the set-up time.
constexpr long kConnectBatch = 4;
// A hung phase is a fault in the library, not a slow machine: stop with a message.
constexpr unsigned kWatchdogSeconds = 120;

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return OptionValue(argc, argv, i); };
    if (a == "--round-trips") {
      o.RoundTrips = static_cast<long>(OptionNumber(next(), "--round-trips", 1e9));
    } else if (a == "--idle") {
      o.Idle = static_cast<long>(OptionNumber(next(), "--idle", 1e9));
    } else if (a == "--warmup") {
      o.Warmup = static_cast<long>(OptionNumber(next(), "--warmup", 1e9));
    } else if (a == "--help" || a == "-h") {
      std::printf("usage: idle_pingpong [--round-trips N (200000)] [--idle N (10000)] [--warmup N (20000)]\n");
      std::exit(0);
    } else {
      Fail("unknown argument " + a);
    }
  }
  if (o.RoundTrips == 0) Fail("--round-trips must be positive");
  return o;
}

// The child's whole life: receive the port, then open connections in the batches the parent
// asks for (a count of 0 means none), answering each batch with the count actually opened.
// Holds them until the parent closes the control channel.
[[noreturn]] void ChildMain(int control) {
  uint16_t port = 0;
  if (!ReadAll(control, &port, sizeof(port))) ::_exit(0);
  std::vector<int> held;
  for (;;) {
    int32_t batch = 0;
    if (!ReadAll(control, &batch, sizeof(batch))) break;
    int32_t opened = 0;
    for (int32_t i = 0; i < batch; ++i) {
      int fd = ConnectLoopback(port);
      if (fd < 0) break;
      held.push_back(fd);
      ++opened;
    }
    WriteAll(control, &opened, sizeof(opened));
  }
  for (int fd : held) ::close(fd);
  ::_exit(0);
}

struct TPhaseResult {
  std::string Name;
  long RoundTrips;
  double Seconds;
  double Rate() const { return Seconds > 0 ? static_cast<double>(RoundTrips) / Seconds : 0; }
};

class TBench {
public:
  TBench(const TOptions& opt, int control, rlim_t limit)
      : opt_(opt), control_(control), limit_(limit), loop_(TEventLoop::Instance()) {}

  void Run() {
    StartListener();
    uint16_t port = static_cast<uint16_t>(std::stoi(listener_->GetBoundPort()));
    WriteAll(control_, &port, sizeof(port));
    MakeActivePair(port);

    results_.push_back(PingPong("warm-up", opt_.Warmup));
    results_.pop_back();
    results_.push_back(PingPong("0 idle", opt_.RoundTrips));

    long rssBefore = OwnResidentKiB();
    AcceptIdle();
    long rssAfter = OwnResidentKiB();
    int watched = loop_.WatchedDescriptors();
    results_.push_back(PingPong(std::to_string(idle_.size()) + " idle", opt_.RoundTrips));

    // Abortive closes (the default linger of 0 s): nothing for the child to answer, no TIME_WAIT.
    idle_.clear();
    results_.push_back(PingPong("0 idle, again", opt_.RoundTrips));

    Print(rssBefore, rssAfter, watched);
  }

private:
  void StartListener() {
    listener_ = std::make_unique<TWSocket>(nullptr);
    listener_->SetAddr("127.0.0.1");
    listener_->SetPort("0");
    listener_->OnSessionAvailable = [this](TObject*, uint16_t error) {
      if (error != 0) Fail("OnSessionAvailable error " + std::to_string(error));
      auto s = std::make_unique<TWSocket>(nullptr);
      s->Dup(listener_->Accept());
      accepted_.push_back(std::move(s));
      if (static_cast<long>(accepted_.size()) >= acceptTarget_) loop_.Terminate();
    };
    listener_->Listen();
  }

  // Runs the loop until accepted_ holds count objects.
  void AwaitAccepted(long count) {
    acceptTarget_ = count;
    if (static_cast<long>(accepted_.size()) < count) loop_.Run();
  }

  void MakeActivePair(uint16_t port) {
    int fd = ConnectLoopback(port);
    if (fd < 0) FailErrno("connect for the active pair");
    AwaitAccepted(1);
    server_ = std::move(accepted_.back());
    accepted_.clear();

    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) FailErrno("fcntl");
    // Without it the kernel may hold a 1-byte segment back waiting for an acknowledgement.
    int one = 1;
    for (int f : {fd, server_->HSocket()})
      if (::setsockopt(f, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) < 0) FailErrno("TCP_NODELAY");
    client_ = std::make_unique<TWSocket>(nullptr);
    client_->Dup(fd);

    server_->OnDataAvailable = [this](TObject*, uint16_t) {
      char buf[64];
      int n = server_->Receive(buf, sizeof(buf));
      if (n > 0) server_->Send(buf, n);
    };
    client_->OnDataAvailable = [this](TObject*, uint16_t) {
      char buf[64];
      int n = client_->Receive(buf, sizeof(buf));
      if (n <= 0) return;
      if (n != 1 || static_cast<unsigned char>(buf[0]) != expected_)
        Fail("the echo came back wrong (lost or extra bytes)");
      if (++done_ >= target_) {
        loop_.Terminate();
        return;
      }
      SendPing();
    };
    auto closed = [](TObject*, uint16_t error) {
      Fail("the active pair closed during the run (error " + std::to_string(error) + ")");
    };
    server_->OnSessionClosed = closed;
    client_->OnSessionClosed = closed;
  }

  void SendPing() {
    expected_ = static_cast<unsigned char>(done_);
    client_->Send(&expected_, 1);
  }

  TPhaseResult PingPong(const std::string& name, long count) {
    done_ = 0;
    target_ = count;
    if (count == 0) return {name, 0, 0};
    ::alarm(kWatchdogSeconds);
    auto start = std::chrono::steady_clock::now();
    SendPing();
    loop_.Run();
    auto stop = std::chrono::steady_clock::now();
    ::alarm(0);
    if (done_ != count) Fail("phase " + name + " ended early");
    return {name, count, std::chrono::duration<double>(stop - start).count()};
  }

  void AcceptIdle() {
    ::alarm(kWatchdogSeconds);
    accepted_.reserve(static_cast<size_t>(opt_.Idle));
    while (static_cast<long>(accepted_.size()) < opt_.Idle) {
      int32_t batch = static_cast<int32_t>(std::min(kConnectBatch, opt_.Idle - static_cast<long>(accepted_.size())));
      WriteAll(control_, &batch, sizeof(batch));
      int32_t opened = 0;
      if (!ReadAll(control_, &opened, sizeof(opened))) Fail("the child went away");
      if (opened != batch)
        Fail("the child opened " + std::to_string(accepted_.size() + static_cast<size_t>(opened)) +
             " connections, not " + std::to_string(opt_.Idle));
      AwaitAccepted(static_cast<long>(accepted_.size()) + batch);
    }
    ::alarm(0);
    idle_ = std::move(accepted_);
    accepted_.clear();
  }

  void Print(long rssBeforeKiB, long rssAfterKiB, int watched) const {
    std::printf("idle_pingpong: 1-byte ping-pong over 127.0.0.1, one loop, %ld round trips per phase\n\n",
                opt_.RoundTrips);
    std::printf("%-16s %12s %10s %15s %8s\n", "phase", "round trips", "seconds", "round trips/s", "ratio");
    const double base = results_.front().Rate();
    for (const TPhaseResult& r : results_) {
      double ratio = r.Rate() > 0 ? base / r.Rate() : 0;
      std::printf("%-16s %12ld %10.3f %15.0f %8.3f\n", r.Name.c_str(), r.RoundTrips, r.Seconds, r.Rate(), ratio);
    }
    std::printf("\nratio = (round trips/s with 0 idle) / (round trips/s in the phase); target <= 1.2: %s\n",
                results_.size() > 1 && results_[1].Rate() > 0 && base / results_[1].Rate() <= 1.2 ? "met" : "missed");
    std::printf("descriptors watched by the loop with the idle connections open: %d (RLIMIT_NOFILE %llu)\n", watched,
                static_cast<unsigned long long>(limit_));
    if (opt_.Idle > 0) {
      double perConn = static_cast<double>(rssAfterKiB - rssBeforeKiB) * 1024.0 / static_cast<double>(opt_.Idle);
      std::printf(
          "resident memory: %ld KiB before, %ld KiB after %ld idle connections = %.0f bytes per idle "
          "connection\n",
          rssBeforeKiB, rssAfterKiB, opt_.Idle, perConn);
      std::printf(
          "  (server side only: the client ends live in a child process; kernel socket buffers are "
          "not in VmRSS; sizeof(TWSocket) = %zu)\n",
          sizeof(TWSocket));
    }
  }

  TOptions opt_;
  int control_;
  rlim_t limit_;
  TEventLoop& loop_;
  std::unique_ptr<TWSocket> listener_, server_, client_;
  std::vector<std::unique_ptr<TWSocket>> accepted_, idle_;
  long acceptTarget_ = 0;
  long done_ = 0, target_ = 0;
  unsigned char expected_ = 0;
  std::vector<TPhaseResult> results_;
};

int Main(int argc, char** argv) {
  TOptions opt = ParseOptions(argc, argv);
  // Asks for 25,000 descriptors (enough for both ends of every idle connection in one process).
  // Where the hard limit is lower and may not be raised, the hard limit will do as long as it
  // covers one side: each process here holds only its own ends.
  rlim_t limit = RaiseDescriptorLimit(std::max<rlim_t>(25000, static_cast<rlim_t>(2 * opt.Idle + 1000)),
                                      static_cast<rlim_t>(opt.Idle + 100));
  InstallWatchdog("no progress for too long; the loop looks hung");

  TChild child = StartChild(ChildMain);
  int rc = 0;
  try {
    TBench run(opt, child.Control, limit);
    run.Run();
  } catch (const std::exception& e) {
    Complain(e.what());
    rc = 1;
  }
  EndChild(child);
  return rc;
}

}  // namespace
}  // namespace ordwin

int main(int argc, char** argv) { return ordwin::Main(argc, argv); }
