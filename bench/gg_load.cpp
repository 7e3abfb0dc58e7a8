// gg_load: load generator for a running GG server on 127.0.0.1; prints one table of figures.
//
// One process, one thread, one level-triggered epoll set holding every client connection; the
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
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/BenchCommon.h"

namespace ordwin {
namespace {

using namespace bench;

// Packet types of the GG protocol, as far as this generator speaks it.
constexpr int32_t kWelcome = 1;
constexpr int32_t kNewStatus = 2;
constexpr int32_t kLoginOk = 3;
constexpr int32_t kSendMsgAck = 5;
constexpr int32_t kRecvMsg = 10;
constexpr int32_t kSendMsg = 11;
constexpr int32_t kStatusNotify = 15;
constexpr int32_t kLogin = 21;
// The GG 11 dialect.
constexpr int32_t kRecvMsg80 = 0x2e;
constexpr int32_t kStatus80 = 0x36;
constexpr int32_t kNewStatus80 = 0x38;
constexpr int32_t kRecvMsgAck = 0x46;
constexpr int32_t kSendMsg110 = 0x7d;
constexpr int32_t kLogin105 = 0x83;
constexpr int32_t kHidden = 0x14;
constexpr int32_t kChatClass = 8;

constexpr int32_t kAckDelivered = 2;
constexpr int32_t kMessageClass = 4;
constexpr int32_t kAvailableWithText = 4;
constexpr int32_t kBusyWithText = 5;
constexpr size_t kHeader = 8;
constexpr size_t kTextLength = 64;
constexpr size_t kSeqDigits = 10;
// Received message: sender, sequence, time, class, text, NUL.
constexpr size_t kRecvMsgLength = 16 + kTextLength + 1;
// Status notification: number, code, nine zero bytes, then the description passed on.
constexpr size_t kNotifyHead = 14;
// GG 11: the head of a received message (0x2e) and of a status notification (0x36).
constexpr size_t kRecvMsg80Head = 24;
constexpr size_t kStatus80Head = 28;

constexpr size_t kReadBuffer = 256 * 1024;
constexpr int kMaxEvents = 1024;
constexpr int kMaxFaultTexts = 8;
// No phase of a healthy server comes near these; past them the phase is reported as hung.
constexpr int kLoginDeadline = 120;
constexpr int kDrainDeadline = 15;
constexpr int kReleaseDeadline = 30;
constexpr unsigned kWatchdogSeconds = 600;

struct TOptions {
  pid_t ServerPid = 0;
  uint16_t Port = 8074;
  int Logins = 10000;
  std::vector<int> Pairs{2, 100, 1000};
  std::vector<int> Windows{1, 32};
  double Seconds = 5;
  double Warmup = 0.5;
  int Fanout = 1000;
  std::vector<int> FanoutWindows{1, 32};
  double FanoutSeconds = 3;
  int ConnectWindow = 4;
  std::vector<std::string> Dialects{"6.0", "11"};
};

void PutLe(std::string& out, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  char b[4] = {static_cast<char>(u & 0xFF), static_cast<char>((u >> 8) & 0xFF), static_cast<char>((u >> 16) & 0xFF),
               static_cast<char>((u >> 24) & 0xFF)};
  out.append(b, 4);
}

int32_t GetLe(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                              static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
}

void PutHeader(std::string& out, int32_t type, size_t length) {
  PutLe(out, type);
  PutLe(out, static_cast<int32_t>(length));
}

// ---- GG 11 packets: protocol-buffers fields ----

void PutVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

void PutField(std::string& out, int field, const std::string& bytes) {
  PutVarint(out, static_cast<uint64_t>(field) << 3 | 2);
  PutVarint(out, bytes.size());
  out += bytes;
}

// A number as the GG 11 packets write it: a flag byte, the length, the decimal digits.
std::string PackedUin(int32_t uin) {
  std::string digits = std::to_string(uin);
  return std::string(1, '\x01') + static_cast<char>(digits.size()) + digits;
}

void PutPacket(std::string& out, int32_t type, const std::string& payload) {
  PutHeader(out, type, payload.size());
  out += payload;
}

void PutLogin105(std::string& out, int32_t uin) {
  std::string p;
  PutField(p, 1, "pl");
  PutField(p, 2, PackedUin(uin));
  p += '\x45';  // field 8, fixed32: the status
  PutLe(p, kHidden);
  PutField(p, 9, "");
  PutPacket(out, kLogin105, p);
}

void PutSendMsg110(std::string& out, int32_t to, uint32_t seq, const std::string& text) {
  std::string p;
  PutField(p, 1, PackedUin(to));
  PutVarint(p, 2 << 3);
  PutVarint(p, kChatClass);
  PutVarint(p, 3 << 3);
  PutVarint(p, seq);
  PutField(p, 5, text);
  PutField(p, 6, "<span>" + text + "</span>");
  PutPacket(out, kSendMsg110, p);
}

// The 64 text bytes of message seq from sender: the sequence number first, then letters that
// change with it, so that a text moved to the wrong place or altered does not compare equal.
// Never a NUL: the server cuts the text at the first one.
void MessageText(char* out, uint32_t seq, int32_t sender) {
  char head[32];
  int n =
      std::snprintf(head, sizeof(head), "%0*" PRIu32 " from %" PRId32 " ", static_cast<int>(kSeqDigits), seq, sender);
  size_t len = std::min(static_cast<size_t>(n), kTextLength);
  std::memcpy(out, head, len);
  for (size_t i = len; i < kTextLength; ++i) out[i] = static_cast<char>('a' + (seq + i) % 26);
}

bool ParseSeq(const char* p, size_t len, uint32_t& seq) {
  if (len < kSeqDigits) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < kSeqDigits; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + static_cast<uint64_t>(p[i] - '0');
  }
  if (v > UINT32_MAX) return false;
  seq = static_cast<uint32_t>(v);
  return true;
}

struct TRow {
  std::string Dialect;
  std::string Scenario;
  int Clients = 0;
  int Window = 0;
  double Rate = 0;  // per second: delivered messages, log-ins or notifications
  std::string Unit;
  double P50us = 0, P99us = 0;
  uint64_t Checked = 0;  // messages or notifications awaited and checked
  uint64_t Lost = 0;
  uint64_t Faults = 0;  // duplicated, reordered, altered, unexpected or missing packets
  std::string Cpu;      // per cent of a core: server, generator, other work
  std::string Extra;
};

TRow NewRow(const std::string& dialect, const char* scenario, int clients, int window, const char* unit) {
  TRow r;
  r.Dialect = dialect;
  r.Scenario = scenario;
  r.Clients = clients;
  r.Window = window;
  r.Unit = unit;
  return r;
}

enum class TConnState { csConnecting, csLoggingIn, csReady, csClosed };

struct TConn {
  int Fd = -1;
  int32_t Uin = 0;
  int Partner = -1;
  TConnState State = TConnState::csClosed;
  int64_t OpenedAt = 0;
  std::string Tail;  // a packet not yet complete
  std::string Out;
  size_t OutSent = 0;
  bool Dirty = false;
  bool WatchingWrite = false;
  // This client's messages to its partner.
  uint32_t NextSend = 0;
  uint32_t NextAck = 0;
  std::vector<int64_t> SentAt;  // by sequence modulo the window
  // What this client receives: its partner's messages, or the fan-out sender's notifications.
  uint32_t NextRecv = 0;
  uint64_t Received = 0;
};

enum class TMode { mdLogin, mdPairs, mdFanout };

class TLoadGenerator {
public:
  explicit TLoadGenerator(const TOptions& opt) : opt_(opt), readBuf_(kReadBuffer) {
    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) FailErrno("epoll_create1");
  }
  ~TLoadGenerator() {
    CloseAll();
    ::close(ep_);
  }
  TLoadGenerator(const TLoadGenerator&) = delete;
  TLoadGenerator& operator=(const TLoadGenerator&) = delete;

  void Run() {
    WaitForServer();
    baseFds_ = opt_.ServerPid > 0 ? OpenDescriptors(opt_.ServerPid) : -1;
    rssStartKiB_ = ServerResidentKiB();
    for (const std::string& d : opt_.Dialects) {
      dialect_ = d;
      newer_ = d != "6.0";
      if (opt_.Logins > 0) LoginPhase(opt_.Logins);
      for (int n : opt_.Pairs)
        for (int w : opt_.Windows) PairsPhase(n, w);
      if (opt_.Fanout > 1)
        for (int k : opt_.FanoutWindows) FanoutPhase(opt_.Fanout, k);
    }
    rssEndKiB_ = ServerResidentKiB();
    PrintTable();
  }

private:
  // ---- phases ----

  void LoginPhase(int count) {
    TRow row = NewRow(dialect_, "log-in", count, opt_.ConnectWindow, "log-ins/s");
    BeginPhase(TMode::mdLogin);
    latencies_.Ns.clear();
    long rssBefore = ServerResidentKiB();
    TCpuMark a = TCpuMark::Now(opt_.ServerPid);
    int64_t start = a.At;
    bool done = LogIn(count);
    TCpuMark b = TCpuMark::Now(opt_.ServerPid);
    int64_t stop = b.At;
    row.Cpu = CpuShare(a, b, opt_.ServerPid);
    // Let the server finish what the last log-ins posted before its memory is read.
    PumpFor(SecondsToNs(0.2));
    long rssAfter = ServerResidentKiB();
    row.Checked = static_cast<uint64_t>(ready_);
    row.P50us = latencies_.At(0.50);
    row.P99us = latencies_.At(0.99);
    row.Lost = static_cast<uint64_t>(count - ready_);
    if (done) row.Rate = count / (static_cast<double>(stop - start) / 1e9);
    if (rssBefore > 0 && rssAfter > 0 && ready_ > 0) {
      double perClient = static_cast<double>(rssAfter - rssBefore) * 1024.0 / ready_;
      if (!newer_) loginBytesPerClient_ = perClient;
      char buf[160];
      std::snprintf(buf, sizeof(buf), "server VmRSS %ld -> %ld KiB: %.0f B per client", rssBefore, rssAfter,
                    perClient);
      row.Extra = buf;
    }
    EndPhase(row);
  }

  void PairsPhase(int count, int window) {
    count -= count % 2;
    if (count < 2 || window < 1) return;
    TRow row = NewRow(dialect_, "messages in pairs", count, window, "messages/s");
    BeginPhase(TMode::mdPairs);
    window_ = static_cast<uint32_t>(window);
    if (!LogIn(count)) return EndPhase(row);
    for (int i = 0; i < count; ++i) {
      conns_[static_cast<size_t>(i)].Partner = i ^ 1;
      conns_[static_cast<size_t>(i)].SentAt.assign(window_, 0);
    }
    SendAndMeasure(row, opt_.Seconds, [this](int64_t now) {
      for (size_t i = 0; i < conns_.size(); ++i) FillWindow(i, now);
    });
    uint64_t sent = 0;
    for (const TConn& c : conns_) sent += c.NextSend;
    bool drained = PumpUntil(NowNs() + SecondsToNs(kDrainDeadline), [this] { return AllDelivered(); });
    uint64_t received = 0;
    for (const TConn& c : conns_) {
      received += c.Received;
      if (c.NextAck != c.NextSend)
        Fault("client " + std::to_string(c.Uin) + " got " + std::to_string(c.NextAck) + " acknowledgements for " +
              std::to_string(c.NextSend) + " messages");
    }
    if (!drained)
      Fault("not every message arrived within " + std::to_string(kDrainDeadline) + " s after sending stopped");
    row.Checked = sent;
    row.Lost = sent > received ? sent - received : 0;
    WindowFigures(row, opt_.Seconds);
    EndPhase(row);
  }

  void FanoutPhase(int count, int window) {
    if (window < 1) return;
    TRow row = NewRow(dialect_, "status fan-out", count, window, "notifications/s");
    BeginPhase(TMode::mdFanout);
    if (!LogIn(count)) return EndPhase(row);
    fanWindow_ = static_cast<uint32_t>(window);
    fanSeen_.assign(fanWindow_, 0);
    fanSentAt_.assign(fanWindow_, 0);
    fanNext_ = 0;
    fanDone_ = 0;
    SendAndMeasure(row, opt_.FanoutSeconds, [this](int64_t now) { FillFanout(now); });
    bool drained = PumpUntil(NowNs() + SecondsToNs(kDrainDeadline), [this] { return fanDone_ == fanNext_; });
    uint64_t expected = static_cast<uint64_t>(fanNext_) * static_cast<uint64_t>(count - 1);
    uint64_t received = 0;
    for (size_t i = 1; i < conns_.size(); ++i) received += conns_[i].Received;
    if (conns_[0].Received != 0) Fault("the client that changed status was told of its own change");
    if (!drained) Fault("not every notification arrived within " + std::to_string(kDrainDeadline) + " s");
    row.Checked = expected;
    row.Lost = expected > received ? expected - received : 0;
    WindowFigures(row, opt_.FanoutSeconds);
    char buf[96];
    std::snprintf(buf, sizeof(buf), "%u status changes, %.0f changes/s", fanNext_,
                  static_cast<double>(windowCount_) / (count - 1) / opt_.FanoutSeconds);
    row.Extra = buf;
    EndPhase(row);
  }

  // ---- phase frame ----

  // Sends through the warm-up and the measuring window that follows: Start(now) fills the first
  // windows, each delivery refills one. Only what arrives inside the window counts and is timed.
  template <class TStarter>
  void SendAndMeasure(TRow& r, double seconds, TStarter start) {
    latencies_.Ns.clear();
    latencies_.Ns.reserve(8u << 20);
    windowCount_ = 0;
    int64_t now = NowNs();
    measureFrom_ = now + SecondsToNs(opt_.Warmup);
    measureTo_ = measureFrom_ + SecondsToNs(seconds);
    sending_ = true;
    start(now);
    Flush();
    PumpUntil(measureFrom_, [] { return false; });
    TCpuMark a = TCpuMark::Now(opt_.ServerPid);
    PumpUntil(measureTo_, [] { return false; });
    r.Cpu = CpuShare(a, TCpuMark::Now(opt_.ServerPid), opt_.ServerPid);
    sending_ = false;
  }

  void WindowFigures(TRow& r, double seconds) {
    r.Rate = static_cast<double>(windowCount_) / seconds;
    r.P50us = latencies_.At(0.50);
    r.P99us = latencies_.At(0.99);
  }

  long ServerResidentKiB() const { return opt_.ServerPid > 0 ? ResidentKiB(opt_.ServerPid) : -1; }

  void BeginPhase(TMode m) {
    mode_ = m;
    phaseFaults_ = 0;
    faultTexts_.clear();
    ready_ = 0;
    uinBase_ += 100000;
  }

  void EndPhase(TRow& r) {
    CloseAll();
    if (!ServerAlive(opt_.ServerPid))
      Fault("the server process is gone");
    else if (!AwaitRelease())
      Fault("the server still holds descriptors of closed clients after " + std::to_string(kReleaseDeadline) + " s");
    r.Faults = phaseFaults_;
    for (const std::string& t : faultTexts_)
      notes_.push_back(r.Scenario + " N=" + std::to_string(r.Clients) + ": " + t);
    rows_.push_back(r);
    std::fprintf(stderr,
                 "gg_load: %s N=%d W=%d: %.0f %s, p50 %.1f us, p99 %.1f us, checked %" PRIu64 ", lost %" PRIu64
                 ", faults %" PRIu64 "\n",
                 r.Scenario.c_str(), r.Clients, r.Window, r.Rate, r.Unit.c_str(), r.P50us, r.P99us, r.Checked, r.Lost,
                 r.Faults);
    if (!ServerAlive(opt_.ServerPid)) {
      PrintTable();
      Fail("the server process is gone; stopping");
    }
  }

  void Fault(const std::string& text) {
    ++phaseFaults_;
    if (static_cast<int>(faultTexts_.size()) < kMaxFaultTexts) faultTexts_.push_back(text);
  }

  // Closed clients are released by the server on a later turn of its loop; the next phase
  // starts when its descriptor count is back where it began.
  bool AwaitRelease() {
    if (opt_.ServerPid <= 0 || baseFds_ < 0) return true;
    int64_t deadline = NowNs() + SecondsToNs(kReleaseDeadline);
    while (NowNs() < deadline) {
      int n = OpenDescriptors(opt_.ServerPid);
      if (n >= 0 && n <= baseFds_) return true;
      ::usleep(20000);
    }
    return false;
  }

  // ---- connections ----

  void WaitForServer() {
    int64_t deadline = NowNs() + SecondsToNs(10);
    for (;;) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) FailErrno("socket");
      sockaddr_in a = LoopbackAddress(opt_.Port);
      bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
      if (ok) {
        char welcome[12];
        ok = ::recv(fd, welcome, sizeof(welcome), MSG_WAITALL) == static_cast<ssize_t>(sizeof(welcome)) &&
             GetLe(welcome) == kWelcome;
      }
      AbortiveClose(fd);
      if (ok) break;
      if (NowNs() > deadline) Fail("no GG server answers on 127.0.0.1:" + std::to_string(opt_.Port));
      ::usleep(50000);
    }
    ::usleep(200000);
  }

  void Open(size_t i) {
    TConn& c = conns_[i];
    c.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.Fd < 0) FailErrno("socket");
    int one = 1;
    if (::setsockopt(c.Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) < 0) FailErrno("TCP_NODELAY");
    sockaddr_in a = LoopbackAddress(opt_.Port);
    if (::connect(c.Fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) < 0 && errno != EINPROGRESS)
      FailErrno("connect");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    if (::epoll_ctl(ep_, EPOLL_CTL_ADD, c.Fd, &ev) < 0) FailErrno("epoll_ctl add");
    c.State = TConnState::csConnecting;
    c.OpenedAt = NowNs();
  }

  void CloseConn(TConn& c) {
    if (c.State == TConnState::csConnecting) --awaitingWelcome_;
    if (c.Fd >= 0) AbortiveClose(c.Fd);  // closing also takes it out of the epoll set
    c.Fd = -1;
    c.State = TConnState::csClosed;
  }

  void CloseAll() {
    for (TConn& c : conns_) CloseConn(c);
    conns_.clear();
    dirty_.clear();
  }

  // Opens count clients and logs each in, keeping at most --connect-window of them between
  // connect and welcome: the server's listen backlog is small, and a SYN that finds the accept
  // queue full is dropped and retried only a second later.
  bool LogIn(int count) {
    CloseAll();
    conns_.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) conns_[static_cast<size_t>(i)].Uin = uinBase_ + i + 1;
    opened_ = 0;
    awaitingWelcome_ = 0;
    ready_ = 0;
    auto openMore = [this, count] {
      while (opened_ < count && awaitingWelcome_ < opt_.ConnectWindow) {
        Open(static_cast<size_t>(opened_++));
        ++awaitingWelcome_;
      }
    };
    openMore();
    afterTurn_ = openMore;
    bool ok = PumpUntil(NowNs() + SecondsToNs(kLoginDeadline), [this, count] { return ready_ == count; });
    afterTurn_ = nullptr;
    if (!ok) Fault(std::to_string(ready_) + " of " + std::to_string(count) + " clients logged in");
    return ok;
  }

  // ---- the loop ----

  // Runs turns until Done() holds (true), the deadline passes or the server is gone (false).
  template <class TPredicate>
  bool PumpUntil(int64_t deadline, TPredicate done) {
    std::vector<epoll_event> events(kMaxEvents);
    int64_t nextAliveCheck = NowNs() + SecondsToNs(0.5);
    for (;;) {
      if (done()) return true;
      int64_t now = NowNs();
      if (now >= deadline) return false;
      if (now >= nextAliveCheck) {
        if (!ServerAlive(opt_.ServerPid)) return false;
        nextAliveCheck = now + SecondsToNs(0.5);
      }
      int timeoutMs = static_cast<int>(std::min<int64_t>((deadline - now) / 1000000 + 1, 10));
      int n = ::epoll_wait(ep_, events.data(), kMaxEvents, timeoutMs);
      if (n < 0) {
        if (errno == EINTR) continue;
        FailErrno("epoll_wait");
      }
      now = NowNs();
      for (int i = 0; i < n; ++i) {
        size_t idx = static_cast<size_t>(events[static_cast<size_t>(i)].data.u64);
        if (idx >= conns_.size() || conns_[idx].Fd < 0) continue;
        uint32_t e = events[static_cast<size_t>(i)].events;
        if (e & (EPOLLIN | EPOLLERR | EPOLLHUP)) Readable(idx, now);
        if ((e & EPOLLOUT) && conns_[idx].Fd >= 0) WriteOut(idx);
      }
      if (afterTurn_) afterTurn_();
      Flush();
    }
  }

  void PumpFor(int64_t ns) {
    PumpUntil(NowNs() + ns, [] { return false; });
  }

  void Readable(size_t i, int64_t now) {
    TConn& c = conns_[i];
    size_t have = c.Tail.size();
    if (have > readBuf_.size() / 2) readBuf_.resize(have * 2);
    std::memcpy(readBuf_.data(), c.Tail.data(), have);
    ssize_t n = ::recv(c.Fd, readBuf_.data() + have, readBuf_.size() - have, 0);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      Fault("client " + std::to_string(c.Uin) + ": receive failed: " + std::strerror(errno));
      return CloseConn(c);
    }
    if (n == 0) {
      Fault("client " + std::to_string(c.Uin) + ": the server closed the connection");
      return CloseConn(c);
    }
    size_t len = have + static_cast<size_t>(n);
    const char* p = readBuf_.data();
    size_t at = 0;
    while (len - at >= kHeader) {
      int32_t type = GetLe(p + at);
      int32_t length = GetLe(p + at + 4);
      if (length < 0) {
        Fault("client " + std::to_string(c.Uin) + ": packet with negative length");
        return CloseConn(c);
      }
      if (len - at - kHeader < static_cast<size_t>(length)) break;
      Packet(i, type, p + at + kHeader, static_cast<size_t>(length), now);
      if (c.Fd < 0) return;
      at += kHeader + static_cast<size_t>(length);
    }
    c.Tail.assign(p + at, len - at);
  }

  void Packet(size_t i, int32_t type, const char* p, size_t len, int64_t now) {
    TConn& c = conns_[i];
    switch (type) {
      case kWelcome:
        if (c.State != TConnState::csConnecting || len != 4) return Unexpected(c, type, len);
        --awaitingWelcome_;
        c.State = TConnState::csLoggingIn;
        if (newer_) {
          PutLogin105(c.Out, c.Uin);
        } else {
          PutHeader(c.Out, kLogin, 4);
          PutLe(c.Out, c.Uin);
        }
        MarkDirty(i);
        return;
      case kLoginOk:
        if (c.State != TConnState::csLoggingIn || len != 0) return Unexpected(c, type, len);
        c.State = TConnState::csReady;
        ++ready_;
        if (mode_ == TMode::mdLogin) latencies_.Add(now - c.OpenedAt);
        return;
      case kSendMsgAck:
        if (mode_ != TMode::mdPairs) return Unexpected(c, type, len);
        return Ack(i, p, len);
      case kRecvMsg:
      case kRecvMsg80:
        if (mode_ != TMode::mdPairs || (type == kRecvMsg80) != newer_) return Unexpected(c, type, len);
        return Message(i, p, len, now);
      case kStatusNotify:
      case kStatus80:
        if (mode_ != TMode::mdFanout || (type == kStatus80) != newer_) return Unexpected(c, type, len);
        return Notification(c, p, len, now);
      default:
        return Unexpected(c, type, len);
    }
  }

  void Unexpected(const TConn& c, int32_t type, size_t len) {
    Fault("client " + std::to_string(c.Uin) + ": unexpected packet type " + std::to_string(type) + " of " +
          std::to_string(len) + " bytes");
  }

  void MarkDirty(size_t i) {
    TConn& c = conns_[i];
    if (c.Dirty) return;
    c.Dirty = true;
    dirty_.push_back(i);
  }

  // One write per client and turn, whatever it queued during the turn.
  void Flush() {
    for (size_t i : dirty_) {
      conns_[i].Dirty = false;
      if (conns_[i].Fd >= 0 && !conns_[i].WatchingWrite) WriteOut(i);
    }
    dirty_.clear();
  }

  void WriteOut(size_t i) {
    TConn& c = conns_[i];
    while (c.OutSent < c.Out.size()) {
      ssize_t n = ::send(c.Fd, c.Out.data() + c.OutSent, c.Out.size() - c.OutSent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        Fault("client " + std::to_string(c.Uin) + ": send failed: " + std::strerror(errno));
        return CloseConn(c);
      }
      c.OutSent += static_cast<size_t>(n);
    }
    bool pending = c.OutSent < c.Out.size();
    if (!pending) {
      c.Out.clear();
      c.OutSent = 0;
    }
    if (pending != c.WatchingWrite) {
      epoll_event ev{};
      ev.events = EPOLLIN | (pending ? EPOLLOUT : 0u);
      ev.data.u64 = i;
      if (::epoll_ctl(ep_, EPOLL_CTL_MOD, c.Fd, &ev) < 0) FailErrno("epoll_ctl mod");
      c.WatchingWrite = pending;
    }
  }

  // ---- messages in pairs ----

  void FillWindow(size_t i, int64_t now) {
    TConn& c = conns_[i];
    const TConn& p = conns_[static_cast<size_t>(c.Partner)];
    bool any = false;
    while (sending_ && c.NextSend - p.NextRecv < window_) {
      uint32_t seq = c.NextSend++;
      c.SentAt[seq % window_] = now;
      any = true;
      if (newer_) {
        char text[kTextLength];
        MessageText(text, seq, c.Uin);
        PutSendMsg110(c.Out, p.Uin, seq, std::string(text, kTextLength));
        continue;
      }
      PutHeader(c.Out, kSendMsg, 12 + kTextLength + 1);
      PutLe(c.Out, p.Uin);
      PutLe(c.Out, static_cast<int32_t>(seq));
      PutLe(c.Out, kMessageClass);
      size_t at = c.Out.size();
      c.Out.resize(at + kTextLength + 1);
      MessageText(&c.Out[at], seq, c.Uin);
      c.Out[at + kTextLength] = '\0';
    }
    if (any) MarkDirty(i);
  }

  // A 6.0 acknowledgement names the sender itself, a newer one the recipient.
  void Ack(size_t i, const char* p, size_t len) {
    TConn& c = conns_[i];
    int32_t named = newer_ ? conns_[static_cast<size_t>(c.Partner)].Uin : c.Uin;
    if (len != 12)
      return Fault("client " + std::to_string(c.Uin) + ": acknowledgement of " + std::to_string(len) + " bytes");
    int32_t status = GetLe(p);
    int32_t uin = GetLe(p + 4);
    uint32_t seq = static_cast<uint32_t>(GetLe(p + 8));
    if (status != kAckDelivered || uin != named || seq != c.NextAck)
      Fault("client " + std::to_string(c.Uin) + ": acknowledgement status " + std::to_string(status) + ", number " +
            std::to_string(uin) + ", sequence " + std::to_string(seq) + "; expected status 2, number " +
            std::to_string(named) + ", sequence " + std::to_string(c.NextAck));
    if (seq >= c.NextAck) c.NextAck = seq + 1;
  }

  void Message(size_t i, const char* p, size_t len, int64_t now) {
    TConn& c = conns_[i];
    size_t senderIdx = static_cast<size_t>(c.Partner);
    TConn& s = conns_[senderIdx];
    ++c.Received;
    uint32_t seq = 0;
    const char* text = newer_ ? Text80(p, len) : Text60(p, len);
    if (text == nullptr || GetLe(p) != s.Uin || !ParseSeq(text, kTextLength, seq)) {
      return Fault("client " + std::to_string(c.Uin) + ": malformed or misrouted message of " + std::to_string(len) +
                   " bytes from " + std::to_string(len >= 4 ? GetLe(p) : 0));
    }
    if (newer_) {  // libgadu answers every message with a receipt
      PutHeader(c.Out, kRecvMsgAck, 4);
      PutLe(c.Out, GetLe(p + 4));
      MarkDirty(i);
    }
    char want[kTextLength];
    MessageText(want, seq, s.Uin);
    if (std::memcmp(want, text, kTextLength) != 0 ||
        (newer_ && std::memcmp(want, p + kRecvMsg80Head + 6, kTextLength) != 0))
      Fault("client " + std::to_string(c.Uin) + ": text of message " + std::to_string(seq) + " altered");
    if (seq != c.NextRecv) {
      Fault("client " + std::to_string(c.Uin) + ": message " + std::to_string(seq) + " from " + std::to_string(s.Uin) +
            " where " + std::to_string(c.NextRecv) + " was due (" + (seq < c.NextRecv ? "duplicate or late" : "gap") +
            ")");
      if (seq < c.NextRecv) return;
    } else if (now >= measureFrom_ && now < measureTo_) {
      ++windowCount_;
      latencies_.Add(now - s.SentAt[seq % window_]);
    }
    c.NextRecv = seq + 1;
    FillWindow(senderIdx, now);
  }

  // The text of a received message (type 10: time 0, class 4, text, NUL), or nullptr.
  static const char* Text60(const char* p, size_t len) {
    if (len != kRecvMsgLength || GetLe(p + 8) != 0 || GetLe(p + 12) != kMessageClass || p[16 + kTextLength] != '\0')
      return nullptr;
    return p + 16;
  }

  // The plain part of a received 0x2e (class 8, "<span>text</span>", text, no formatting), or
  // nullptr; the HTML part's text is compared by the caller.
  static const char* Text80(const char* p, size_t len) {
    const size_t htmlLength = 6 + kTextLength + 7;
    const size_t plainAt = kRecvMsg80Head + htmlLength + 1;
    if (len != plainAt + kTextLength + 1 || GetLe(p + 12) != kChatClass ||
        GetLe(p + 16) != static_cast<int32_t>(plainAt) || GetLe(p + 20) != static_cast<int32_t>(len) ||
        std::memcmp(p + kRecvMsg80Head, "<span>", 6) != 0 ||
        std::memcmp(p + kRecvMsg80Head + 6 + kTextLength, "</span>", 8) != 0 || p[len - 1] != '\0')
      return nullptr;
    return p + plainAt;
  }

  bool AllDelivered() const {
    for (const TConn& c : conns_)
      if (c.Fd >= 0 && (conns_[static_cast<size_t>(c.Partner)].NextRecv != c.NextSend || c.NextAck != c.NextSend))
        return false;
    return true;
  }

  // ---- status fan-out ----

  void FillFanout(int64_t now) {
    TConn& c = conns_[0];
    bool any = false;
    while (sending_ && fanNext_ - fanDone_ < fanWindow_) {
      uint32_t seq = fanNext_++;
      char desc[16];
      std::snprintf(desc, sizeof(desc), "%0*" PRIu32, static_cast<int>(kSeqDigits), seq);
      int32_t status = seq % 2 ? kBusyWithText : kAvailableWithText;
      if (newer_) {
        PutHeader(c.Out, kNewStatus80, 12 + kSeqDigits + 1);
        PutLe(c.Out, status);
        PutLe(c.Out, 0x14);  // flags, and an uncounted byte after the description, as libgadu has them
        PutLe(c.Out, static_cast<int32_t>(kSeqDigits));
        c.Out.append(desc, kSeqDigits);
        c.Out += '\0';
      } else {
        PutHeader(c.Out, kNewStatus, 4 + kSeqDigits);
        PutLe(c.Out, status);
        c.Out.append(desc, kSeqDigits);
      }
      fanSentAt_[seq % fanWindow_] = now;
      fanSeen_[seq % fanWindow_] = 0;
      any = true;
    }
    if (any) MarkDirty(0);
  }

  void Notification(TConn& c, const char* p, size_t len, int64_t now) {
    ++c.Received;
    uint32_t seq = 0;
    // 6.0: number, code byte, nine zeros, description. 11: number, code, 16 zeros, length, description.
    size_t head = newer_ ? kStatus80Head : kNotifyHead;
    size_t zerosFrom = newer_ ? 8 : 5, zerosTo = newer_ ? kStatus80Head - 4 : kNotifyHead;
    bool zeros = len >= head && std::all_of(p + zerosFrom, p + zerosTo, [](char b) { return b == 0; });
    bool lengthRight = !newer_ || (len >= head && GetLe(p + head - 4) == static_cast<int32_t>(kSeqDigits));
    if (len != head + kSeqDigits || !zeros || !lengthRight || GetLe(p) != conns_[0].Uin ||
        !ParseSeq(p + head, kSeqDigits, seq))
      return Fault("client " + std::to_string(c.Uin) + ": malformed status notification of " + std::to_string(len) +
                   " bytes");
    int32_t code = newer_ ? GetLe(p + 4) : static_cast<unsigned char>(p[4]);
    if (code != (seq % 2 ? kBusyWithText : kAvailableWithText))
      Fault("client " + std::to_string(c.Uin) + ": status change " + std::to_string(seq) + " announced with code " +
            std::to_string(code));
    if (seq != c.NextRecv) {
      Fault("client " + std::to_string(c.Uin) + ": status change " + std::to_string(seq) + " where " +
            std::to_string(c.NextRecv) + " was due");
      if (seq < c.NextRecv || seq >= fanNext_) return;
    }
    c.NextRecv = seq + 1;
    if (now >= measureFrom_ && now < measureTo_) {
      ++windowCount_;
      latencies_.Add(now - fanSentAt_[seq % fanWindow_]);
    }
    if (seq - fanDone_ < fanWindow_ && ++fanSeen_[seq % fanWindow_] == conns_.size() - 1) {
      // Changes complete in order at every receiver, so the oldest completes first.
      while (fanDone_ < fanNext_ && fanSeen_[fanDone_ % fanWindow_] == conns_.size() - 1) {
        fanSeen_[fanDone_ % fanWindow_] = 0;
        ++fanDone_;
      }
      FillFanout(now);
    }
  }

  // ---- report ----

  // A 6.0 row: the targets are set for the 6.0 path.
  const TRow* Find(const std::string& scenario, int clients, int window) const {
    for (const TRow& r : rows_)
      if (r.Dialect == "6.0" && r.Scenario == scenario && r.Clients == clients && r.Window == window) return &r;
    return nullptr;
  }

  void PrintTable() const {
    std::printf(
        "\nGG server on 127.0.0.1:%u, loopback; pairs: %.1f s measured after %.1f s warm-up; "
        "fan-out: %.1f s measured\n\n",
        opt_.Port, opt_.Seconds, opt_.Warmup, opt_.FanoutSeconds);
    std::printf("%-7s %-18s %7s %6s %12s %-16s %10s %10s %10s %6s %6s %11s  %s\n", "dialect", "scenario", "clients",
                "window", "rate", "unit", "p50 us", "p99 us", "checked", "lost", "faults", "srv gen oth", "notes");
    for (const TRow& r : rows_)
      std::printf("%-7s %-18s %7d %6d %12.0f %-16s %10.1f %10.1f %10" PRIu64 " %6" PRIu64 " %6" PRIu64 " %11s  %s\n",
                  r.Dialect.c_str(), r.Scenario.c_str(), r.Clients, r.Window, r.Rate, r.Unit.c_str(), r.P50us, r.P99us,
                  r.Checked, r.Lost, r.Faults, r.Cpu.c_str(), r.Extra.c_str());
    std::printf(
        "\nlatency: log-in, connect to login-ok; pairs, send to delivery; fan-out, status change sent to each "
        "notification received\n");
    std::printf(
        "\nwindow: messages per client in flight (pairs), connects awaiting the welcome (log-in), "
        "status changes not yet seen by all others (fan-out)\n");
    std::printf(
        "srv gen oth: per cent of one core used while measuring by the server, by this generator and by other "
        "work on the machine (on loopback the sender's system time includes the receiver's TCP work)\n");
    if (rssStartKiB_ > 0)
      std::printf("server VmRSS: %ld KiB before the first phase, %ld KiB after the last\n", rssStartKiB_, rssEndKiB_);

    std::printf("\ntargets (6.0 rows):\n");
    for (int w : opt_.Windows) {
      const TRow* a = Find("messages in pairs", 100, w);
      const TRow* b = Find("messages in pairs", 1000, w);
      if (a && b && a->Rate > 0)
        std::printf("  W=%-2d N=1000 vs N=100: %.0f / %.0f messages/s = %.2f (no more than 15 %% lower: %s)\n", w,
                    b->Rate, a->Rate, b->Rate / a->Rate, b->Rate >= 0.85 * a->Rate ? "met" : "MISSED");
    }
    if (const TRow* l = Find("log-in", opt_.Logins, opt_.ConnectWindow); l && loginBytesPerClient_ > 0)
      std::printf("  %d clients logged in: %.0f bytes of server VmRSS each (at most 3072: %s; all logged in: %s)\n",
                  l->Clients, loginBytesPerClient_, loginBytesPerClient_ <= 3072 ? "met" : "MISSED",
                  l->Lost == 0 && l->Faults == 0 ? "yes" : "NO");
    const double irc[2][2] = {{100, 1.0e6}, {1000, 0.3e6}};
    for (const auto& ref : irc)
      if (const TRow* r = Find("messages in pairs", static_cast<int>(ref[0]), 32))
        std::printf("  N=%d W=32: %.0f messages/s = %.2f x the IRC reference of %.1f million\n",
                    static_cast<int>(ref[0]), r->Rate, r->Rate / ref[1], ref[1] / 1e6);
    uint64_t lost = 0, faults = 0;
    for (const TRow& r : rows_) {
      lost += r.Lost;
      faults += r.Faults;
    }
    std::printf("  every message and notification checked: %" PRIu64 " lost, %" PRIu64 " faults%s\n", lost, faults,
                lost + faults == 0 ? "" : "  <-- SERVER FAULT, see below");
    for (const std::string& n : notes_) std::printf("    %s\n", n.c_str());
    std::fflush(stdout);
  }

  TOptions opt_;
  int ep_ = -1;
  std::vector<char> readBuf_;
  std::vector<TConn> conns_;
  std::vector<size_t> dirty_;
  std::function<void()> afterTurn_;
  TMode mode_ = TMode::mdLogin;
  std::string dialect_ = "6.0";
  bool newer_ = false;
  int32_t uinBase_ = 0;
  int opened_ = 0, awaitingWelcome_ = 0, ready_ = 0;
  int baseFds_ = -1;
  long rssStartKiB_ = -1, rssEndKiB_ = -1;
  double loginBytesPerClient_ = 0;
  // Messages and notifications: what counts and what is timed.
  bool sending_ = false;
  uint32_t window_ = 1;
  int64_t measureFrom_ = 0, measureTo_ = 0;
  uint64_t windowCount_ = 0;
  TLatencies latencies_;
  uint32_t fanWindow_ = 1, fanNext_ = 0, fanDone_ = 0;
  std::vector<size_t> fanSeen_;
  std::vector<int64_t> fanSentAt_;
  uint64_t phaseFaults_ = 0;
  std::vector<std::string> faultTexts_, notes_;
  std::vector<TRow> rows_;
};

std::vector<int> ParseList(const char* text, const char* flag) {
  std::vector<int> out;
  const char* p = text;
  while (*p) {
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p || v < 0 || v > 100000) Fail(std::string("bad list for ") + flag);
    out.push_back(static_cast<int>(v));
    p = *end == ',' ? end + 1 : end;
    if (*end != ',' && *end != '\0') Fail(std::string("bad list for ") + flag);
  }
  return out;
}

double ParseNumber(const char* text, const char* flag, double max) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= 0) || v > max) Fail(std::string("bad value for ") + flag);
  return v;
}

std::vector<std::string> ParseDialects(const char* text) {
  std::vector<std::string> out;
  std::string all = text;
  for (size_t start = 0; start <= all.size();) {
    size_t comma = std::min(all.find(',', start), all.size());
    std::string d = all.substr(start, comma - start);
    if (d != "6.0" && d != "11") Fail("--dialects: 6.0 or 11, separated by commas");
    out.push_back(d);
    start = comma + 1;
  }
  return out;
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return OptionValue(argc, argv, i); };
    if (a == "--server-pid")
      o.ServerPid = static_cast<pid_t>(ParseNumber(next(), "--server-pid", 4194304));
    else if (a == "--port")
      o.Port = static_cast<uint16_t>(ParseNumber(next(), "--port", 65535));
    else if (a == "--logins")
      o.Logins = static_cast<int>(ParseNumber(next(), "--logins", 19000));
    else if (a == "--pairs")
      o.Pairs = ParseList(next(), "--pairs");
    else if (a == "--windows")
      o.Windows = ParseList(next(), "--windows");
    else if (a == "--seconds")
      o.Seconds = ParseNumber(next(), "--seconds", 60);
    else if (a == "--warmup")
      o.Warmup = ParseNumber(next(), "--warmup", 10);
    else if (a == "--fanout")
      o.Fanout = static_cast<int>(ParseNumber(next(), "--fanout", 19000));
    else if (a == "--fanout-windows")
      o.FanoutWindows = ParseList(next(), "--fanout-windows");
    else if (a == "--fanout-seconds")
      o.FanoutSeconds = ParseNumber(next(), "--fanout-seconds", 60);
    else if (a == "--connect-window")
      o.ConnectWindow = static_cast<int>(ParseNumber(next(), "--connect-window", 1000));
    else if (a == "--dialects")
      o.Dialects = ParseDialects(next());
    else if (a == "--help" || a == "-h") {
      std::printf(
          "usage: gg_load --server-pid PID [--port 8074] [--logins 10000] [--pairs 2,100,1000] "
          "[--windows 1,32] [--seconds 5] [--warmup 0.5] [--fanout 1000] [--fanout-windows 1,32] "
          "[--fanout-seconds 3] [--connect-window 4] [--dialects 6.0,11]\n");
      std::exit(0);
    } else {
      Fail("unknown argument " + a);
    }
  }
  if (o.Seconds <= 0 || o.FanoutSeconds <= 0) Fail("the measuring windows must be longer than 0 s");
  if (o.ConnectWindow < 1) Fail("--connect-window must be at least 1");
  for (int n : o.Pairs)
    if (n > 19000) Fail("--pairs: at most 19000 clients");
  return o;
}

int Main(int argc, char** argv) {
  TOptions opt = ParseOptions(argc, argv);
  int most = std::max(opt.Logins, opt.Fanout);
  for (int n : opt.Pairs) most = std::max(most, n);
  const rlim_t need = static_cast<rlim_t>(most + 64);
  RaiseDescriptorLimit(need, need);
  std::signal(SIGPIPE, SIG_IGN);
  InstallWatchdog("the whole run took too long; stopping");
  ::alarm(kWatchdogSeconds);
  TLoadGenerator gen(opt);
  gen.Run();
  return 0;
}

}  // namespace
}  // namespace ordwin

int main(int argc, char** argv) { return ordwin::Main(argc, argv); }
