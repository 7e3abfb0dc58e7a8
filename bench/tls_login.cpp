// tls_login: GG log-ins per second over TLS beside plain ones: what the handshake costs.
//
// The GG session of one loop listens on two loopback ports, plain and TLS (a self-signed ECDSA
// P-256 certificate, as the program makes one), on core 0. A child on core 1 runs W threads that
// log in again and again for --seconds: connect; over TLS the handshake (OpenSSL's client with
// its defaults: TLS 1.3, X25519, no certificate check, as GG clients set to "encryption if
// available" do); the welcome, a 6.0 login, the login answer; then a reset. For each port and
// window W: log-ins per second, the latency from connect to the login answer (median and 99th
// percentile), the server's CPU time per log-in (the figure that holds when the clients, whose
// side of a handshake costs more, are what limits the rate), and the CPU shares (of one core)
// of the server, the clients and the rest of the machine. The session writes no log here.
//
// Usage: tls_login [--seconds S (5)] [--windows 1,8 (1,8)]

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sched.h>

#include "bench/BenchCommon.h"
#include "gg/GgBytes.h"
#include "gg/GgSession.h"
#include "net/EventLoop.h"
#include "net/TlsCertificate.h"
#include "net/TlsContext.h"
#include "net/WSocket.h"

namespace ordwin {
namespace {

using namespace bench;

constexpr unsigned kWatchdogSeconds = 300;

struct TRequest {
  int32_t Port = 0;
  int32_t Tls = 0;
  int32_t Window = 0;
  double Seconds = 0;
};
struct TResult {
  int64_t LogIns = 0;
  double Wall = 0, Cpu = 0, MedianUs = 0, TailUs = 0;
};

void PinTo(int core) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  ::sched_setaffinity(0, sizeof(set), &set);
}

// One client's log-in on a fresh connection; false when the server failed it.
bool LogIn(const TRequest& r, SSL_CTX* context, int32_t uin) {
  int fd = ConnectLoopback(static_cast<uint16_t>(r.Port));
  if (fd < 0) return false;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(r.Tls ? SSL_new(context) : nullptr, SSL_free);
  if (ssl) SSL_set_fd(ssl.get(), fd);
  auto exchange = [&](void* data, size_t size, bool write) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
      int n = ssl ? (write ? SSL_write(ssl.get(), p, static_cast<int>(size))
                           : SSL_read(ssl.get(), p, static_cast<int>(size)))
                  : static_cast<int>(write ? ::send(fd, p, size, MSG_NOSIGNAL) : ::recv(fd, p, size, 0));
      if (n <= 0) return false;
      p += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  };
  char welcome[12], answer[8];
  std::string login = IntToLeBytes(21) + IntToLeBytes(4) + IntToLeBytes(uin);
  bool ok = (!ssl || SSL_connect(ssl.get()) == 1) && exchange(welcome, sizeof(welcome), false) &&
            exchange(login.data(), login.size(), true) && exchange(answer, sizeof(answer), false) &&
            LeBytesToInt(std::string(answer, 4), 0) == 3;
  ssl.reset();
  AbortiveClose(fd);
  return ok;
}

[[noreturn]] void ChildMain(int control) {
  PinTo(1);
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  for (TRequest r; ReadAll(control, &r, sizeof(r));) {
    const double cpuBefore = CpuSeconds(0);
    const int64_t start = NowNs(), end = start + SecondsToNs(r.Seconds);
    std::atomic<bool> failed{false};
    std::vector<TLatencies> latencies(static_cast<size_t>(r.Window));
    std::vector<std::thread> threads;
    for (int t = 0; t < r.Window; ++t)
      threads.emplace_back([&, t] {
        for (int32_t uin = 1000 + t; NowNs() < end && !failed; uin += r.Window) {
          const int64_t began = NowNs();
          if (!LogIn(r, context.get(), uin)) failed = true;
          latencies[static_cast<size_t>(t)].Add(NowNs() - began);
        }
      });
    for (std::thread& t : threads) t.join();
    if (failed) Fail("a log-in failed");
    TResult result;
    result.Wall = static_cast<double>(NowNs() - start) / 1e9;
    result.Cpu = CpuSeconds(0) - cpuBefore;
    TLatencies all;
    for (TLatencies& l : latencies) all.Ns.insert(all.Ns.end(), l.Ns.begin(), l.Ns.end());
    result.LogIns = static_cast<int64_t>(all.Ns.size());
    result.MedianUs = all.At(0.5);
    result.TailUs = all.At(0.99);
    WriteAll(control, &result, sizeof(result));
  }
  ::_exit(0);
}

}  // namespace
}  // namespace ordwin

int main(int argc, char** argv) {
  using namespace ordwin;
  double seconds = 5;
  std::vector<int> windows = {1, 8};
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--seconds")
      seconds = bench::OptionNumber(bench::OptionValue(argc, argv, i), "--seconds", 600);
    else if (flag == "--windows")
      windows = bench::OptionList(bench::OptionValue(argc, argv, i), "--windows", 1, 256);
    else
      bench::Fail("unknown option " + flag);
  }
  bench::InstallWatchdog("gave up after 5 minutes");
  alarm(kWatchdogSeconds);
  bench::TChild child = bench::StartChild(ChildMain);
  PinTo(0);

  TGgSession session([](std::string_view, size_t) {});
  session.RIDuziva().SetPort(0);
  const TTlsCertificatePem pem = MakeSelfSignedCertificate({"127.0.0.1", "appmsg.gadu-gadu.pl"}, 3650);
  if (!session.Start().empty() || !session.StartTls(TTlsContext::FromPem(pem.Certificate, pem.Key), 0).empty())
    bench::Fail("cannot listen");
  TWSocketServer& server = *session.RIDuziva().SocketServer();
  const int plainPort = std::stoi(server.GetBoundPort()), tlsPort = std::stoi(server.TlsListener()->GetBoundPort());

  // The child's answer ends the loop's run.
  TResult result;
  TWSocket control(nullptr);
  control.OnDataAvailable = [&](TObject*, uint16_t) {
    if (control.Receive(&result, sizeof(result)) == sizeof(result)) TEventLoop::Instance().Terminate();
  };
  control.Dup(child.Control);

  std::printf("%-6s %6s %10s %10s %10s %14s %16s\n", "port", "window", "log-ins/s", "median us", "p99 us",
              "server cpu us", "cpu server/clients/other %");
  for (bool tls : {false, true}) {
    for (int window : windows) {
      const TRequest request{tls ? tlsPort : plainPort, tls, window, seconds};
      const double machineBefore = bench::MachineBusySeconds(), serverBefore = bench::CpuSeconds(0);
      bench::WriteAll(child.Control, &request, sizeof(request));
      TEventLoop::Instance().Run();
      const double serverCpu = bench::CpuSeconds(0) - serverBefore, server = 100 * serverCpu / result.Wall;
      const double clients = 100 * result.Cpu / result.Wall;
      const double other =
          std::max(0.0, 100 * (bench::MachineBusySeconds() - machineBefore) / result.Wall - server - clients);
      std::printf("%-6s %6d %10.0f %10.0f %10.0f %14.0f %8.0f %4.0f %4.0f\n", tls ? "TLS" : "plain", window,
                  static_cast<double>(result.LogIns) / result.Wall, result.MedianUs, result.TailUs,
                  1e6 * serverCpu / static_cast<double>(std::max<int64_t>(result.LogIns, 1)), server, clients, other);
    }
  }
  control.Close();
  int status = 0;
  ::waitpid(child.Pid, &status, 0);
  alarm(0);
  return 0;
}
