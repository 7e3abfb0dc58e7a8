// Helpers shared by the benchmark programs: failing with a message, the watchdog, the
// descriptor limit, resident memory, a control channel to a child process, loopback sockets,
// the clock, a server's CPU time and descriptors, latency quantiles and option values.
// Messages start with the program's own name, as its users see it.
#pragma once

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>  // program_invocation_short_name
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ordwin::bench {

// Reports without stopping, e.g. an exception caught on the way out of main().
inline void Complain(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
}

[[noreturn]] inline void Fail(const std::string& what) {
  Complain(what);
  std::exit(1);
}

[[noreturn]] inline void FailErrno(const std::string& what) { Fail(what + ": " + std::strerror(errno)); }

namespace detail {
// Composed when the watchdog is installed: the handler may only write what is ready.
inline char watchdogLine[256];
inline size_t watchdogLength = 0;

inline void OnWatchdog(int) {
  ssize_t ignored = ::write(STDERR_FILENO, watchdogLine, watchdogLength);
  (void)ignored;
  ::_exit(2);
}
}  // namespace detail

// A hung run is a fault to report, not a slow machine to wait for: once alarm() runs out, the
// program prints "<name>: why" and exits with status 2. The caller arms and disarms alarm().
inline void InstallWatchdog(const char* why) {
  int n =
      std::snprintf(detail::watchdogLine, sizeof(detail::watchdogLine), "%s: %s\n", program_invocation_short_name, why);
  detail::watchdogLength = std::min(static_cast<size_t>(std::max(n, 0)), sizeof(detail::watchdogLine) - 1);
  std::signal(SIGALRM, detail::OnWatchdog);
}

// Asks for want descriptors, raising the hard limit too where that is allowed; otherwise the
// hard limit will do as long as it reaches need. Returns the soft limit now set.
inline rlim_t RaiseDescriptorLimit(rlim_t want, rlim_t need) {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) < 0) FailErrno("getrlimit");
  if (r.rlim_cur >= want) return r.rlim_cur;
  rlimit raised{want, std::max(r.rlim_max, want)};
  if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return want;
  int err = errno;
  if (r.rlim_max < need) Fail("cannot raise RLIMIT_NOFILE to " + std::to_string(need) + ": " + std::strerror(err));
  r.rlim_cur = r.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &r) < 0) FailErrno("setrlimit");
  return r.rlim_cur;
}

// VmRSS of process pid, or -1 where it cannot be read (the process is gone, for one).
inline long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// This process's own VmRSS, which must be there.
inline long OwnResidentKiB() {
  long kib = ResidentKiB(::getpid());
  if (kib < 0) Fail("no VmRSS in /proc/self/status");
  return kib;
}

// ---- the control channel to a child process ----

inline void WriteAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) FailErrno("control write");
    p += n;
    len -= static_cast<size_t>(n);
  }
}

// False on end of stream.
inline bool ReadAll(int fd, void* data, size_t len) {
  char* p = static_cast<char*>(data);
  while (len > 0) {
    ssize_t n = ::read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FailErrno("control read");
    if (n == 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

struct TChild {
  pid_t Pid = -1;
  int Control = -1;  // this process's end of the channel
};

// Forks a child that runs Body(its end of the channel) and then exits. Call it before the loop
// exists, so that the child carries no copy of it.
template <class TChildBody>
TChild StartChild(TChildBody body) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) FailErrno("socketpair");
  pid_t pid = ::fork();
  if (pid < 0) FailErrno("fork");
  if (pid == 0) {
    ::close(sv[0]);
    body(sv[1]);
    ::_exit(0);
  }
  ::close(sv[1]);
  return {pid, sv[0]};
}

// Closing the channel is the child's signal to let go of everything and exit.
inline void EndChild(TChild& c) {
  ::close(c.Control);
  c.Control = -1;
  int status = 0;
  ::waitpid(c.Pid, &status, 0);
}

// ---- loopback sockets ----

inline sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A blocking connection to 127.0.0.1:Port, or -1 with errno telling why.
inline int ConnectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a = LoopbackAddress(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) < 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

// A reset instead of a FIN: no TIME_WAIT on this side, so ports are not used up across phases.
inline void AbortiveClose(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  ::close(fd);
}

// ---- clocks, processes and figures ----

inline int64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t SecondsToNs(double s) { return static_cast<int64_t>(s * 1e9); }

inline int OpenDescriptors(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n;
}

// User and system time of a process in seconds, from /proc/PID/stat (0 for this process).
struct TProcessCpu {
  double User = 0, System = 0;
  double Total() const { return User + System; }
};

inline TProcessCpu ProcessCpu(pid_t pid) {
  std::ifstream in(pid > 0 ? "/proc/" + std::to_string(pid) + "/stat" : std::string("/proc/self/stat"));
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close == std::string::npos) return {};
  // After the name: state is field 3, utime field 14, stime field 15.
  const char* p = all.c_str() + close + 1;
  unsigned long long utime = 0, stime = 0;
  if (std::sscanf(p, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return {};
  double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return {static_cast<double>(utime) / tick, static_cast<double>(stime) / tick};
}

inline double CpuSeconds(pid_t pid) { return ProcessCpu(pid).Total(); }

// Busy time of all cores together in seconds, from /proc/stat (everything but idle and iowait).
inline double MachineBusySeconds() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  unsigned long long v[8] = {};
  in >> cpu >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7];
  if (cpu != "cpu") return 0;
  unsigned long long busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
  return static_cast<double>(busy) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Shares of one core used by the server, by this generator and by everything else on the
// machine between two samples: the last one shows when other work took time from the run.
struct TCpuMark {
  int64_t At = 0;
  TProcessCpu Server;
  double Self = 0, Machine = 0;
  static TCpuMark Now(pid_t server) {
    return {NowNs(), server > 0 ? ProcessCpu(server) : TProcessCpu(), CpuSeconds(0), MachineBusySeconds()};
  }
};

// Per cent of one core used between two samples by the server (-1 where there is none), by this
// generator and by everything else.
struct TCpuUse {
  double Server = -1, Self = 0, Other = 0;
  // The part of Server spent in the kernel: on loopback it holds the receivers' TCP work, and
  // a log's page-cache writes.
  double ServerSystem = -1;
  // A generator that used more of its core than this may have held the server back.
  static constexpr double kGeneratorBound = 90;
  bool GeneratorBound() const { return Self > kGeneratorBound; }
  // Seconds of server CPU per million of whatever was done at rate per second; -1 where unknown.
  double ServerSecondsPerMillion(double rate) const { return PerMillion(Server, rate); }
  double ServerSystemSecondsPerMillion(double rate) const { return PerMillion(ServerSystem, rate); }

private:
  static double PerMillion(double share, double rate) { return share >= 0 && rate > 0 ? share / 100 * 1e6 / rate : -1; }
};

inline TCpuUse CpuUse(const TCpuMark& a, const TCpuMark& b, pid_t serverPid) {
  TCpuUse u;
  double wall = static_cast<double>(b.At - a.At) / 1e9;
  if (wall <= 0) return u;
  if (serverPid > 0) {
    u.Server = 100 * (b.Server.Total() - a.Server.Total()) / wall;
    u.ServerSystem = 100 * (b.Server.System - a.Server.System) / wall;
  }
  u.Self = 100 * (b.Self - a.Self) / wall;
  u.Other = std::max(0.0, 100 * (b.Machine - a.Machine) / wall - std::max(u.Server, 0.0) - u.Self);
  return u;
}

inline std::string CpuShare(const TCpuUse& u) {
  char buf[64];
  if (u.Server >= 0)
    std::snprintf(buf, sizeof(buf), "%3.0f %3.0f %3.0f", u.Server, u.Self, u.Other);
  else
    std::snprintf(buf, sizeof(buf), "  - %3.0f %3.0f", u.Self, u.Other);
  return buf;
}

inline std::string CpuShare(const TCpuMark& a, const TCpuMark& b, pid_t serverPid) {
  if (b.At <= a.At) return "";
  return CpuShare(CpuUse(a, b, serverPid));
}

// A server that died stays a zombie until the script reaps it, so the state letter decides.
inline bool ServerAlive(pid_t pid) {
  if (pid <= 0) return true;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close == std::string::npos || close + 2 >= all.size()) return false;
  char state = all[close + 2];
  return state != 'Z' && state != 'X';
}

struct TLatencies {
  std::vector<uint32_t> Ns;
  void Add(int64_t d) { Ns.push_back(static_cast<uint32_t>(std::clamp<int64_t>(d, 0, UINT32_MAX))); }
  // Microseconds at quantile q (0..1); 0 when there are no samples.
  double At(double q) {
    if (Ns.empty()) return 0;
    size_t k = std::min(Ns.size() - 1, static_cast<size_t>(q * static_cast<double>(Ns.size())));
    std::nth_element(Ns.begin(), Ns.begin() + static_cast<ptrdiff_t>(k), Ns.end());
    return Ns[k] / 1000.0;
  }
};

// ---- options ----

// The word after option argv[i], stepping i past it; fails where there is none.
inline const char* OptionValue(int argc, char** argv, int& i) {
  if (i + 1 >= argc) Fail(std::string("missing value after ") + argv[i]);
  return argv[++i];
}

// The number text gives for option flag, from 0 to most; fails on anything else.
inline double OptionNumber(const char* text, const char* flag, double most) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= 0) || v > most) Fail(std::string("bad value for ") + flag);
  return v;
}

// The comma-separated whole numbers text gives for option flag, each from least to most.
inline std::vector<int> OptionList(const char* text, const char* flag, long least, long most) {
  std::vector<int> out;
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p || v < least || v > most || (*end != ',' && *end != '\0')) Fail(std::string("bad list for ") + flag);
    out.push_back(static_cast<int>(v));
    p = *end == ',' ? end + 1 : end;
  }
  return out;
}

}  // namespace ordwin::bench
