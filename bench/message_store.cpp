// message_store: what keeping a message for a person who is away costs the loop, and how long a
// log-in takes to hand over 1,000 kept messages.
//
// Phase 1 stores N chat-sized messages (a 70-byte text and its HTML part) for 100
// recipients in a fresh database file under --dir, each committed as the GG session commits it,
// and reports per message the wall time (mean, median, 99th percentile, longest) and the loop
// thread's CPU time. The file lies on the disk that holds --dir: /tmp here is the machine's disk.
// Phase 2 runs the GG session on a loopback port with 1,000 messages kept for one number; a
// client logs in as that number (6.0, then 8.0) and reads until the 1,000th message has come.
// Each round stores the 1,000 afresh; the figure is the median over the rounds, from sending the
// log-in to the last byte read.
//
// Usage: message_store [--messages N (20000)] [--rounds R (11)] [--dir DIR (/tmp)]

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include "bench/BenchCommon.h"
#include "gg/GgBytes.h"
#include "gg/GgMessageStore.h"
#include "gg/GgSession.h"
#include "net/EventLoop.h"

namespace ordwin {
namespace {

using namespace bench;
namespace fs = std::filesystem;

constexpr unsigned kWatchdogSeconds = 600;
constexpr int32_t kRecipient = 2002;
constexpr int kWaiting = 1000;

double ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

TGgKeptMessage ChatMessage(int32_t recipient, int n) {
  TGgKeptMessage m;
  m.Recipient = recipient;
  m.Sender = 1001;
  m.Sent = std::time(nullptr);
  m.Class = 8;
  m.Text = "Wiadomosc numer " + std::to_string(n) + ": jutro o dziesiatej w sali na pietrze.";
  m.Html = "<span style=\"color:#000000;\">" + m.Text + "</span>";
  return m;
}

std::unique_ptr<TGgMessageStore> FreshStore(const fs::path& file) {
  for (const char* end : {"", "-wal", "-shm"}) fs::remove(file.string() + end);
  auto store = TGgMessageStore::Open(
      file.string(),
      [](std::string_view line) { std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data()); },
      std::time(nullptr));
  if (!store) Fail("cannot open " + file.string());
  return store;
}

void StoreCost(const fs::path& file, int messages) {
  auto store = FreshStore(file);
  TLatencies each;
  double cpu0 = ThreadCpuNs();
  int64_t t0 = NowNs();
  for (int i = 0; i < messages; ++i) {
    TGgKeptMessage m = ChatMessage(3000 + i % 100, i);
    int64_t a = NowNs();
    if (store->Keep(m) != TGgMessageStore::krKept) Fail("message " + std::to_string(i) + " not kept");
    each.Add(NowNs() - a);
  }
  double wall = static_cast<double>(NowNs() - t0) / messages / 1000.0;
  double cpu = (ThreadCpuNs() - cpu0) / messages / 1000.0;
  std::printf("store %d messages: per message %.1f us wall (median %.1f, p99 %.1f, longest %.0f), %.1f us CPU\n",
              messages, wall, each.At(0.5), each.At(0.99), each.At(1.0), cpu);
}

// Reads what has come on fd into buffer; counts whole packets of type want.
int CountPackets(int fd, std::string& buffer, int32_t want) {
  char chunk[65536];
  for (ssize_t n; (n = ::recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT)) > 0;)
    buffer.append(chunk, static_cast<size_t>(n));
  int count = 0;
  size_t at = 0;
  while (buffer.size() - at >= 8) {
    size_t length = static_cast<size_t>(LeBytesToInt(buffer, at + 4));
    if (buffer.size() - at - 8 < length) break;
    count += LeBytesToInt(buffer, at) == want ? 1 : 0;
    at += 8 + length;
  }
  buffer.erase(0, at);
  return count;
}

// One log-in of kRecipient with its 1,000 messages waiting: nanoseconds to the last one.
int64_t HandOver(TGgSession& session, uint16_t port, bool newer) {
  TEventLoop& loop = TEventLoop::Instance();
  int fd = ConnectLoopback(port);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  std::string buffer;
  while (CountPackets(fd, buffer, 1) == 0) loop.ProcessMessages();  // the welcome
  std::string login = IntToLeBytes(newer ? 0x31 : 21);
  std::string payload = IntToLeBytes(kRecipient);
  if (newer)
    payload +=
        std::string(67, '\0') + IntToLeBytes(2) + std::string(22, '\0') + std::string(4, '\0') + std::string(4, '\0');
  login += IntToLeBytes(static_cast<int32_t>(payload.size())) + payload;
  int64_t start = NowNs();
  WriteAll(fd, login.data(), login.size());
  for (int got = 0; got < kWaiting;) {
    loop.ProcessMessages();
    got += CountPackets(fd, buffer, newer ? 0x2e : 10);
  }
  int64_t took = NowNs() - start;
  ::close(fd);
  while (session.FindClientByUin(kRecipient) != nullptr) loop.ProcessMessages();
  return took;
}

void HandOverTime(const fs::path& file, int rounds) {
  auto store = FreshStore(file);
  TGgSession session([](std::string_view, size_t) {});
  session.RIDuziva().SetPort(0);
  if (!session.Start().empty()) Fail("cannot listen");
  session.SetMessageStore(store.get());
  uint16_t port = static_cast<uint16_t>(std::stoi(session.RIDuziva().SocketServer()->GetBoundPort()));
  for (bool newer : {false, true}) {
    std::vector<int64_t> times;
    for (int r = 0; r < rounds; ++r) {
      for (int i = 0; i < kWaiting; ++i) store->Keep(ChatMessage(kRecipient, i));
      times.push_back(HandOver(session, port, newer));
      if (store->WaitingCount(kRecipient) != 0) Fail("messages left in the store after the hand-over");
    }
    std::sort(times.begin(), times.end());
    std::printf("hand over %d kept messages at a %s log-in: median %.1f ms (fastest %.1f, slowest %.1f; %d rounds)\n",
                kWaiting, newer ? "8.0" : "6.0", static_cast<double>(times[times.size() / 2]) / 1e6,
                static_cast<double>(times.front()) / 1e6, static_cast<double>(times.back()) / 1e6, rounds);
  }
  session.SetMessageStore(nullptr);
}

}  // namespace
}  // namespace ordwin

int main(int argc, char** argv) {
  using namespace ordwin;
  int messages = 20000, rounds = 11;
  std::string dir = "/tmp";
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--messages")
      messages = static_cast<int>(bench::OptionNumber(bench::OptionValue(argc, argv, i), "--messages", 1e7));
    else if (flag == "--rounds")
      rounds = static_cast<int>(bench::OptionNumber(bench::OptionValue(argc, argv, i), "--rounds", 1000));
    else if (flag == "--dir")
      dir = bench::OptionValue(argc, argv, i);
    else
      bench::Fail("unknown option " + flag);
  }
  if (messages < 1 || rounds < 1) bench::Fail("nothing to measure");
  bench::InstallWatchdog("gave up after 10 minutes");
  alarm(kWatchdogSeconds);
  const fs::path file = fs::path(dir) / ("ordwin-bench-" + std::to_string(getpid()) + ".db");
  StoreCost(file, messages);
  HandOverTime(file, rounds);
  for (const char* end : {"", "-wal", "-shm"}) fs::remove(file.string() + end);
  alarm(0);
  return 0;
}
