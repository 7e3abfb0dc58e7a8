// gg_load: load generator for a running GG server on 127.0.0.1; prints one table of figures.
//
// One process, one thread, one edge-triggered epoll set holding every client connection; the
// server is another process (started by bench/gg_bench.sh), so each side has its own core and
// its own descriptor limit. Phases, in this order, each with fresh connections and GG numbers:
//
//   log-in   C clients connect and log in (welcome, login, login-ok); log-ins per second and the
//            server's resident memory per logged-in client (VmRSS of --server-pid before and
//            after, over C; kernel socket buffers are not in VmRSS).
//   pairs    for each N and W: N clients log in; client 2k and 2k+1 send each other 64-byte
//            messages, each keeping W sent and not yet delivered. Delivered messages per second
//            and send-to-delivery latency over a measuring window after a warm-up; then sending
//            stops and every message is awaited. Every text carries its per-direction sequence
//            number and is checked whole, so a lost, duplicated, reordered or altered message is
//            counted, and so is every acknowledgement that is missing, repeated or out of order.
//   fan-out  F clients log in; client 0 changes its status (available and busy, alternately,
//            the sequence number in the description) keeping K changes not yet seen by all
//            others; the other F-1 each check every type 15 notification in order.
//
// Between phases the clients are closed abortively and the generator waits until the server's
// descriptor count is back to what it was before the first phase.
//
// The phases run once per dialect of --dialects: 6.0 clients (login 21, messages 11 and 10,
// status 2 and 15) and GG 11 clients as libgadu speaks it (login 0x83 hidden, so that log-ins
// tell nobody; messages 0x7d with plain and HTML parts, received as 0x2e and answered with a
// 0x46 receipt; status 0x38, received as 0x36).
//
// Usage: gg_load --server-pid PID [--port 8074] [--logins 10000] [--pairs 2,100,1000]
//                [--windows 1,32] [--seconds 5] [--warmup 0.5] [--fanout 1000] [--fanout-windows 1,32]
//                [--fanout-seconds 3] [--connect-window 4] [--dialects 6.0,11]

#include <algorithm>
#include <csignal>

#include <unistd.h>

#include "bench/BenchCommon.h"
#include "bench/ggload/GgLoadGenerator.h"
#include "bench/ggload/GgLoadOptions.h"

namespace ordwin {
namespace {

using namespace bench;

constexpr unsigned kWatchdogSeconds = 600;

int Main(int argc, char** argv) {
  TGgLoadOptions opt = ParseGgLoadOptions(argc, argv);
  int most = std::max(opt.Logins, opt.Fanout);
  for (int n : opt.Pairs) most = std::max(most, n);
  const rlim_t need = static_cast<rlim_t>(most + 64);
  RaiseDescriptorLimit(need, need);
  std::signal(SIGPIPE, SIG_IGN);
  InstallWatchdog("the whole run took too long; stopping");
  ::alarm(kWatchdogSeconds);
  TGgLoadGenerator gen(opt);
  gen.Run();
  return 0;
}

}  // namespace
}  // namespace ordwin

int main(int argc, char** argv) { return ordwin::Main(argc, argv); }
