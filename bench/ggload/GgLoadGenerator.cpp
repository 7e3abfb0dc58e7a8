// The load generator's phases, its connections and its loop.
#include "bench/ggload/GgLoadGenerator.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/ggload/GgLoadPackets.h"
#include "gg/GgPacketTypes.h"

namespace ordwin::bench {

namespace {

constexpr size_t kReadBuffer = 256 * 1024;
constexpr int kMaxEvents = 1024;
constexpr int kMaxFaultTexts = 8;
// Deliveries per second that no loopback run comes near: the room reserved for latencies.
constexpr double kMostPerSecond = 20e6;
// Seconds. No phase of a healthy server comes near these; past them the phase is reported as hung.
constexpr int kLoginDeadline = 120;
constexpr int kDrainDeadline = 15;
constexpr int kReleaseDeadline = 30;

}  // namespace

TGgLoadGenerator::TGgLoadGenerator(const TGgLoadOptions& options) : opt_(options), readBuf_(kReadBuffer) {
  ep_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep_ < 0) FailErrno("epoll_create1");
}

TGgLoadGenerator::~TGgLoadGenerator() {
  CloseAll();
  ::close(ep_);
}

void TGgLoadGenerator::Run() {
  WaitForServer();
  baseFds_ = opt_.ServerPid > 0 ? OpenDescriptors(opt_.ServerPid) : -1;
  rssStartKiB_ = ServerResidentKiB();
  report_.SetResident(rssStartKiB_, -1);
  for (const std::string& d : opt_.Dialects) {
    dialect_ = d;
    newer_ = d != "6.0";
    if (opt_.Logins > 0) LoginPhase(opt_.Logins);
    for (int n : opt_.Pairs)
      for (int w : opt_.Windows) PairsPhase(n, w);
    if (opt_.Fanout > 1)
      for (int k : opt_.FanoutWindows) FanoutPhase(opt_.Fanout, k);
  }
  report_.SetResident(rssStartKiB_, ServerResidentKiB());
  report_.Print();
}

void TGgLoadGenerator::LoginPhase(int count) {
  TGgLoadRow row(dialect_, "log-in", count, opt_.ConnectWindow, "log-ins/s");
  BeginPhase(TMode::mdLogin);
  latencies_.Ns.clear();
  long rssBefore = ServerResidentKiB();
  TCpuMark a = TCpuMark::Now(opt_.ServerPid);
  int64_t start = a.At;
  bool done = LogIn(count);
  TCpuMark b = TCpuMark::Now(opt_.ServerPid);
  int64_t stop = b.At;
  row.Cpu = CpuUse(a, b, opt_.ServerPid);
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
    if (!newer_) report_.SetLoginBytesPerClient(perClient);
    char buf[160];
    std::snprintf(buf, sizeof(buf), "server VmRSS %ld -> %ld KiB: %.0f B per client", rssBefore, rssAfter, perClient);
    row.Extra = buf;
  }
  EndPhase(row);
}

void TGgLoadGenerator::PairsPhase(int count, int window) {
  count -= count % 2;
  if (count < 2 || window < 1) return;
  TGgLoadRow row(dialect_, "messages in pairs", count, window, "messages/s");
  BeginPhase(TMode::mdPairs);
  window_ = static_cast<uint32_t>(window);
  sentMask_ = std::bit_ceil(window_) - 1;
  if (!LogIn(count)) return EndPhase(row);
  for (int i = 0; i < count; ++i) {
    TConn& c = conns_[static_cast<size_t>(i)];
    c.Partner = i ^ 1;
    c.Texts = TMessageTexts(c.Uin, conns_[static_cast<size_t>(i ^ 1)].Uin);
    c.SentAt.assign(sentMask_ + 1, 0);
  }
  SendAndMeasure(row, opt_.Seconds, [this](int64_t) {
    for (size_t i = 0; i < conns_.size(); ++i) MarkDirty(i);
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

void TGgLoadGenerator::FanoutPhase(int count, int window) {
  if (window < 1) return;
  TGgLoadRow row(dialect_, "status fan-out", count, window, "notifications/s");
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

// Sends through the warm-up and the measuring window that follows: Start(now) fills the first
// windows, each delivery refills one at the end of its turn. Only what arrives inside the window
// counts and is timed.
void TGgLoadGenerator::SendAndMeasure(TGgLoadRow& r, double seconds, const std::function<void(int64_t)>& start) {
  latencies_.Ns.clear();
  // Room for every delivery the window can time, so that the samples are never moved while
  // measuring; pages are only taken as they fill.
  latencies_.Ns.reserve(static_cast<size_t>(seconds * kMostPerSecond));
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
  r.Cpu = CpuUse(a, TCpuMark::Now(opt_.ServerPid), opt_.ServerPid);
  sending_ = false;
}

void TGgLoadGenerator::WindowFigures(TGgLoadRow& r, double seconds) {
  r.Rate = static_cast<double>(windowCount_) / seconds;
  r.P50us = latencies_.At(0.50);
  r.P99us = latencies_.At(0.99);
}

long TGgLoadGenerator::ServerResidentKiB() const { return opt_.ServerPid > 0 ? ResidentKiB(opt_.ServerPid) : -1; }

void TGgLoadGenerator::BeginPhase(TMode m) {
  mode_ = m;
  phaseFaults_ = 0;
  faultTexts_.clear();
  ready_ = 0;
  uinBase_ += 100000;
}

void TGgLoadGenerator::EndPhase(TGgLoadRow& r) {
  CloseAll();
  if (!ServerAlive(opt_.ServerPid))
    Fault("the server process is gone");
  else if (!AwaitRelease())
    Fault("the server still holds descriptors of closed clients after " + std::to_string(kReleaseDeadline) + " s");
  r.Faults = phaseFaults_;
  report_.Add(r, faultTexts_);
  if (!ServerAlive(opt_.ServerPid)) {
    report_.Print();
    Fail("the server process is gone; stopping");
  }
}

void TGgLoadGenerator::Fault(const std::string& text) {
  ++phaseFaults_;
  if (static_cast<int>(faultTexts_.size()) < kMaxFaultTexts) faultTexts_.push_back(text);
}

// Closed clients are released by the server on a later turn of its loop; the next phase
// starts when its descriptor count is back where it began.
bool TGgLoadGenerator::AwaitRelease() {
  if (opt_.ServerPid <= 0 || baseFds_ < 0) return true;
  int64_t deadline = NowNs() + SecondsToNs(kReleaseDeadline);
  while (NowNs() < deadline) {
    int n = OpenDescriptors(opt_.ServerPid);
    if (n >= 0 && n <= baseFds_) return true;
    ::usleep(20000);
  }
  return false;
}

void TGgLoadGenerator::WaitForServer() {
  int64_t deadline = NowNs() + SecondsToNs(10);
  for (;;) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) FailErrno("socket");
    sockaddr_in a = LoopbackAddress(opt_.Port);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
    if (ok) {
      char welcome[12];
      ok = ::recv(fd, welcome, sizeof(welcome), MSG_WAITALL) == static_cast<ssize_t>(sizeof(welcome)) &&
           GetLe(welcome) == ggpacket::kWelcome;
    }
    AbortiveClose(fd);
    if (ok) break;
    if (NowNs() > deadline) Fail("no GG server answers on 127.0.0.1:" + std::to_string(opt_.Port));
    ::usleep(50000);
  }
  ::usleep(200000);
}

void TGgLoadGenerator::Open(size_t i) {
  TConn& c = conns_[i];
  c.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c.Fd < 0) FailErrno("socket");
  int one = 1;
  if (::setsockopt(c.Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) < 0) FailErrno("TCP_NODELAY");
  sockaddr_in a = LoopbackAddress(opt_.Port);
  if (::connect(c.Fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) < 0 && errno != EINPROGRESS)
    FailErrno("connect");
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = i;
  if (::epoll_ctl(ep_, EPOLL_CTL_ADD, c.Fd, &ev) < 0) FailErrno("epoll_ctl add");
  c.State = TConnState::csConnecting;
  c.OpenedAt = NowNs();
}

void TGgLoadGenerator::CloseConn(TConn& c) {
  if (c.State == TConnState::csConnecting) --awaitingWelcome_;
  if (c.Fd >= 0) AbortiveClose(c.Fd);  // closing also takes it out of the epoll set
  c.Fd = -1;
  c.State = TConnState::csClosed;
}

void TGgLoadGenerator::CloseAll() {
  for (TConn& c : conns_) CloseConn(c);
  conns_.clear();
  dirty_.clear();
}

// Opens count clients and logs each in, keeping at most --connect-window of them between
// connect and welcome: the server's listen backlog is small, and a SYN that finds the accept
// queue full is dropped and retried only a second later.
bool TGgLoadGenerator::LogIn(int count) {
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

// Runs turns until Done() holds (true), the deadline passes or the server is gone (false).
bool TGgLoadGenerator::PumpUntil(int64_t deadline, const std::function<bool()>& done) {
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

void TGgLoadGenerator::PumpFor(int64_t ns) {
  PumpUntil(NowNs() + ns, [] { return false; });
}

// Connections are watched edge-triggered, so each is read until the platform has no more: a read
// that does not fill the buffer took everything there was.
void TGgLoadGenerator::Readable(size_t i, int64_t now) {
  TConn& c = conns_[i];
  for (;;) {
    size_t have = c.Tail.size();
    if (have > readBuf_.size() / 2) readBuf_.resize(have * 2);
    std::memcpy(readBuf_.data(), c.Tail.data(), have);
    size_t room = readBuf_.size() - have;
    ssize_t n = ::recv(c.Fd, readBuf_.data() + have, room, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      Fault("client " + std::to_string(c.Uin) + ": receive failed: " + std::strerror(errno));
      return CloseConn(c);
    }
    if (n == 0) {
      Fault("client " + std::to_string(c.Uin) + ": the server closed the connection");
      return CloseConn(c);
    }
    size_t len = have + static_cast<size_t>(n);
    const char* p = readBuf_.data();
    size_t at = Packets(i, p, len, now);
    if (c.Fd < 0) return;
    c.Tail.assign(p + at, len - at);
    if (static_cast<size_t>(n) < room) return;
  }
}

void TGgLoadGenerator::MarkDirty(size_t i) {
  TConn& c = conns_[i];
  if (c.Dirty) return;
  c.Dirty = true;
  dirty_.push_back(i);
}

// One write per client and turn, whatever it queued during the turn, with its window of
// messages topped up.
void TGgLoadGenerator::Flush() {
  int64_t now = mode_ == TMode::mdPairs ? NowNs() : 0;
  for (size_t i : dirty_) {
    TConn& c = conns_[i];
    c.Dirty = false;
    if (c.Fd < 0) continue;
    if (mode_ == TMode::mdPairs) FillWindow(i, now);
    if (c.Fd >= 0 && !c.WatchingWrite) WriteOut(i);
  }
  dirty_.clear();
}

void TGgLoadGenerator::WriteOut(size_t i) {
  TConn& c = conns_[i];
  c.OutSent += SendSome(c, c.Out.data() + c.OutSent, c.Out.size() - c.OutSent);
  if (c.Fd < 0) return;
  bool pending = c.OutSent < c.Out.size();
  if (!pending) {
    c.Out.clear();
    c.OutSent = 0;
  }
  WatchWrite(i, pending);
}

void TGgLoadGenerator::SendNow(size_t i, const char* p, size_t n) {
  TConn& c = conns_[i];
  size_t sent = SendSome(c, p, n);
  if (c.Fd < 0 || sent == n) return;
  c.Out.assign(p + sent, n - sent);
  c.OutSent = 0;
  WatchWrite(i, true);
}

size_t TGgLoadGenerator::SendSome(TConn& c, const char* p, size_t n) {
  size_t sent = 0;
  while (sent < n) {
    ssize_t k = ::send(c.Fd, p + sent, n - sent, MSG_NOSIGNAL);
    if (k < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      Fault("client " + std::to_string(c.Uin) + ": send failed: " + std::strerror(errno));
      CloseConn(c);
      break;
    }
    sent += static_cast<size_t>(k);
  }
  return sent;
}

void TGgLoadGenerator::WatchWrite(size_t i, bool on) {
  TConn& c = conns_[i];
  if (on == c.WatchingWrite) return;
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET | (on ? EPOLLOUT : 0u);
  ev.data.u64 = i;
  if (::epoll_ctl(ep_, EPOLL_CTL_MOD, c.Fd, &ev) < 0) FailErrno("epoll_ctl mod");
  c.WatchingWrite = on;
}

}  // namespace ordwin::bench
