// http_load: replies per second from HTTP servers on 127.0.0.1 with a new connection per request
// (the way GG clients ask for their server), many requests in flight, every reply checked byte
// for byte; prints one table.
//
// One process, one thread, one epoll set. Each connection: a non-blocking connect, the request
// that today's GG client library sends (118 bytes), the reply read until the server closes, the
// check, an orderly close, and at once a new connection in its place. For each in-flight level
// the targets are measured in turn, --rounds times, so that drift of the machine touches them
// alike; the round with the median rate is reported, with its latencies (connect to the
// server's close) and the CPU shares of the server, this generator and everything else, and
// the first target's rate against each other's as the median of the rounds' ratios.
//
// A target is NAME:PORT:PID:CHECK. CHECK "exact": the whole reply must be --reply. CHECK
// "body": the status line must be 200 OK (any version), a Content-Type: text/data line must be
// in the header, and the body after it must be the body of --reply, byte for byte.
//
// Usage: http_load --reply TEXT --target T [--target T ...] [--inflight 1,16,64,256]
//                  [--seconds 3] [--warmup 0.5] [--rounds 3]

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/BenchCommon.h"

namespace ordwin {
namespace {

using namespace bench;

const std::string kRequest =
    "GET /appsvc/appmsg_ver8.asp?fmnumber=1001&fmt=2&lastmsg=0&version=10.1.0.11070 HTTP/1.0\r\n"
    "Host: appmsg.gadu-gadu.pl\r\n\r\n";
constexpr int kMaxEvents = 512;
constexpr int kMaxFaultTexts = 4;
constexpr int kDrainDeadline = 10;  // seconds for the last replies after a measurement
constexpr size_t kMaxReply = 64 * 1024;
constexpr unsigned kWatchdogSeconds = 900;

struct TTarget {
  std::string Name;
  uint16_t Port = 0;
  pid_t Pid = 0;
  bool Exact = true;
};

struct TOptions {
  std::string Reply;
  std::vector<TTarget> Targets;
  std::vector<int> InFlight{1, 16, 64, 256};
  double Seconds = 3;
  double Warmup = 0.5;
  int Rounds = 3;
};

struct TResult {
  double Rate = 0;  // checked replies per second in the measuring window
  double P50 = 0, P99 = 0;
  long Faults = 0;
  std::vector<std::string> FaultTexts;
  std::string Cpu;
};

struct TConn {
  int64_t Started = 0;
  bool Sent = false;
  std::string Got;
};

class TGenerator {
public:
  TGenerator(const TOptions& opt) : opt_(opt), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) FailErrno("epoll_create1");
    size_t header = opt_.Reply.find("\r\n\r\n");
    if (header == std::string::npos) Fail("--reply has no blank line after its header");
    body_ = opt_.Reply.substr(header + 4);
  }

  TResult Measure(const TTarget& t, int inFlight) {
    target_ = &t;
    result_ = TResult{};
    latencies_.Ns.clear();
    int64_t start = NowNs();
    from_ = start + SecondsToNs(opt_.Warmup);
    to_ = from_ + SecondsToNs(opt_.Seconds);
    completed_ = 0;
    for (int i = 0; i < inFlight; ++i) Open();

    TCpuMark a{}, b{};
    bool marked = false;
    while (NowNs() < to_) {
      if (!marked && NowNs() >= from_) {
        a = TCpuMark::Now(t.Pid);
        marked = true;
      }
      Pump(true);
      if (!ServerAlive(t.Pid)) Fail(t.Name + " is no longer running");
    }
    b = TCpuMark::Now(t.Pid);
    if (!marked) a = b;
    // The replies still on their way are awaited and checked too; none may hang.
    int64_t deadline = NowNs() + SecondsToNs(kDrainDeadline);
    while (open_ > 0 && NowNs() < deadline) Pump(false);
    if (open_ > 0) {
      Fault(std::to_string(open_) + " connections without an end " + std::to_string(kDrainDeadline) + " s after");
      for (size_t fd = 0; fd < conns_.size(); ++fd)
        if (conns_[fd].Started != 0) Close(static_cast<int>(fd));
    }
    result_.Rate = static_cast<double>(completed_) / opt_.Seconds;
    result_.P50 = latencies_.At(0.5) / 1000.0;
    result_.P99 = latencies_.At(0.99) / 1000.0;
    result_.Cpu = CpuShare(a, b, t.Pid);
    return result_;
  }

private:
  void Open() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) FailErrno("socket");
    sockaddr_in a = LoopbackAddress(target_->Port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) < 0 && errno != EINPROGRESS) {
      int err = errno;
      ::close(fd);
      Fault(std::string("connect: ") + std::strerror(err));
      if (err == EADDRNOTAVAIL) Fail("out of local ports");
      return;
    }
    if (static_cast<size_t>(fd) >= conns_.size()) conns_.resize(static_cast<size_t>(fd) + 1);
    TConn& c = conns_[static_cast<size_t>(fd)];
    c = TConn{NowNs(), false, std::string()};
    epoll_event ev{EPOLLOUT, {}};
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) < 0) FailErrno("epoll_ctl");
    ++open_;
  }

  void Close(int fd) {
    ::close(fd);  // also leaves the epoll set
    conns_[static_cast<size_t>(fd)].Started = 0;
    --open_;
  }

  void Pump(bool reopen) {
    epoll_event events[kMaxEvents];
    int n = ::epoll_wait(epoll_, events, kMaxEvents, 100);
    if (n < 0 && errno != EINTR) FailErrno("epoll_wait");
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      TConn& c = conns_[static_cast<size_t>(fd)];
      if (!c.Sent) {
        if (!Send(fd, c)) {
          Close(fd);
          if (reopen) Open();
        }
        continue;
      }
      int outcome = Read(fd, c);
      if (outcome == 0) continue;  // more to come
      int64_t now = NowNs();
      if (outcome > 0 && now >= from_ && now < to_) {
        ++completed_;
        latencies_.Add(now - c.Started);
      }
      Close(fd);
      if (reopen) Open();
    }
  }

  bool Send(int fd, TConn& c) {
    int err = 0;
    socklen_t len = sizeof(err);
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) return Fault(std::string("connect: ") + std::strerror(err));
    ssize_t sent = ::send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(kRequest.size())) return Fault("the request did not go out whole");
    c.Sent = true;
    epoll_event ev{EPOLLIN | EPOLLRDHUP, {}};
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) < 0) FailErrno("epoll_ctl");
    return true;
  }

  // 0: the reply goes on; 1: it ended and is right; -1: a fault.
  int Read(int fd, TConn& c) {
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n > 0) {
        c.Got.append(buf, static_cast<size_t>(n));
        if (c.Got.size() <= kMaxReply) continue;
        Fault("a reply longer than 64 KiB");
        return -1;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
      if (n < 0) {
        Fault(std::string("reading: ") + std::strerror(errno));
        return -1;
      }
      return Check(c.Got) ? 1 : -1;
    }
  }

  bool Check(const std::string& got) {
    if (target_->Exact) {
      if (got == opt_.Reply) return true;
      return Fault("reply differs: \"" + Printable(got) + "\"");
    }
    size_t header = got.find("\r\n\r\n");
    if (header == std::string::npos || got.compare(4, 1, "/") != 0 || got.find(" 200 OK\r\n") != 8 ||
        got.substr(0, header + 2).find("\r\nContent-Type: text/data\r\n") == std::string::npos ||
        got.compare(header + 4, std::string::npos, body_) != 0)
      return Fault("reply differs: \"" + Printable(got) + "\"");
    return true;
  }

  // Always false, so that callers can return it.
  bool Fault(const std::string& text) {
    ++result_.Faults;
    if (result_.FaultTexts.size() < kMaxFaultTexts) result_.FaultTexts.push_back(text);
    return false;
  }

  static std::string Printable(const std::string& s) {
    std::string out;
    for (char c : s.substr(0, 200)) {
      if (c == '\r')
        out += "\\r";
      else if (c == '\n')
        out += "\\n";
      else
        out += c;
    }
    return out;
  }

  const TOptions& opt_;
  int epoll_;
  std::string body_;
  const TTarget* target_ = nullptr;
  std::vector<TConn> conns_;
  int open_ = 0;
  int64_t from_ = 0, to_ = 0;
  long completed_ = 0;
  TLatencies latencies_;
  TResult result_;
};

TTarget ParseTarget(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1)
    parts.push_back(text.substr(start, colon - start));
  parts.push_back(text.substr(start));
  if (parts.size() != 4 || (parts[3] != "exact" && parts[3] != "body"))
    Fail("a target is NAME:PORT:PID:exact or NAME:PORT:PID:body, not " + text);
  return {parts[0], static_cast<uint16_t>(std::atoi(parts[1].c_str())), static_cast<pid_t>(std::atoi(parts[2].c_str())),
          parts[3] == "exact"};
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--reply")
      o.Reply = OptionValue(argc, argv, i);
    else if (a == "--target")
      o.Targets.push_back(ParseTarget(OptionValue(argc, argv, i)));
    else if (a == "--inflight")
      o.InFlight = OptionList(OptionValue(argc, argv, i), "--inflight", 1, 1000000);
    else if (a == "--seconds")
      o.Seconds = std::atof(OptionValue(argc, argv, i));
    else if (a == "--warmup")
      o.Warmup = std::atof(OptionValue(argc, argv, i));
    else if (a == "--rounds")
      o.Rounds = std::max(1, std::atoi(OptionValue(argc, argv, i)));
    else
      Fail("unknown option " + a);
  }
  if (o.Reply.empty() || o.Targets.empty()) Fail("needs --reply and at least one --target");
  if (o.Seconds <= 0) Fail("--seconds must be positive");
  return o;
}

int Main(int argc, char** argv) {
  TOptions opt = ParseOptions(argc, argv);
  RaiseDescriptorLimit(20000, 1024);
  InstallWatchdog("hung (watchdog)");
  ::alarm(kWatchdogSeconds);
  TGenerator load(opt);

  std::printf("%-9s %-14s %11s %8s %8s %7s  %s\n", "in-flight", "server", "replies/s", "p50 ms", "p99 ms", "faults",
              "cpu% srv gen oth");
  for (int inFlight : opt.InFlight) {
    std::vector<std::vector<TResult>> rounds(opt.Targets.size());
    std::vector<std::vector<double>> rates(opt.Targets.size());
    for (int r = 0; r < opt.Rounds; ++r) {
      for (size_t t = 0; t < opt.Targets.size(); ++t) {
        rounds[t].push_back(load.Measure(opt.Targets[t], inFlight));
        rates[t].push_back(rounds[t].back().Rate);
      }
    }
    std::vector<double> medians;
    for (size_t t = 0; t < opt.Targets.size(); ++t) {
      std::vector<TResult>& rs = rounds[t];
      std::sort(rs.begin(), rs.end(), [](const TResult& a, const TResult& b) { return a.Rate < b.Rate; });
      const TResult& m = rs[rs.size() / 2];
      long faults = 0;
      for (const TResult& r : rs) faults += r.Faults;
      medians.push_back(m.Rate);
      std::printf("%-9d %-14s %11.0f %8.2f %8.2f %7ld  %s\n", inFlight, opt.Targets[t].Name.c_str(), m.Rate, m.P50,
                  m.P99, faults, m.Cpu.c_str());
      for (const TResult& r : rs)
        for (const std::string& text : r.FaultTexts) std::printf("          fault: %s\n", text.c_str());
    }
    // Each round measures the targets back to back, so their ratio within a round is what other
    // work on the machine disturbs least.
    for (size_t t = 1; t < opt.Targets.size(); ++t) {
      std::vector<double> ratios;
      for (int r = 0; r < opt.Rounds; ++r)
        if (rates[t][r] > 0) ratios.push_back(rates[0][r] / rates[t][r]);
      std::sort(ratios.begin(), ratios.end());
      std::printf("%-9s %s / %s: %.2f (median of the rounds' ratios; of the median rates %.2f)\n", "",
                  opt.Targets[0].Name.c_str(), opt.Targets[t].Name.c_str(),
                  ratios.empty() ? 0.0 : ratios[ratios.size() / 2], medians[t] > 0 ? medians[0] / medians[t] : 0.0);
    }
    std::fflush(stdout);
  }
  ::alarm(0);
  return 0;
}

}  // namespace
}  // namespace ordwin

int main(int argc, char** argv) { return ordwin::Main(argc, argv); }
