// Runs the built program for whole-program tests: its own home folder, no display, its output
// read through pipes, and (where the test may) a private network of its own.
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/net/LoopbackUp.h"

namespace ordwin::test {

namespace fs = std::filesystem;

// Starts path with args after its own path and exactly the environment env, its descriptors set
// up by actions; returns the child's process id, or -1.
inline pid_t Spawn(const std::string& path, std::vector<std::string> args, std::vector<std::string> env,
                   const posix_spawn_file_actions_t* actions) {
  args.insert(args.begin(), path);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  for (std::string& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = -1;
  return ::posix_spawn(&pid, path.c_str(), actions, nullptr, argv.data(), envp.data()) == 0 ? pid : -1;
}

// The built program, run with its own home and no display, its output read through pipes.
class TProgram {
public:
  TProgram(const fs::path& home, std::vector<std::string> args, std::vector<std::string> extraEnv = {}) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> env = {"HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / ".config").string(),
                                    "XDG_RUNTIME_DIR=" + home.string()};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    pid_ = Spawn(ORDWIN_PROGRAM, std::move(args), std::move(env), &actions);
    EXPECT_GT(pid_, 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~TProgram() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // Reads both streams until done holds for them or a generous deadline passes.
  template <class TPredicate>
  bool ReadUntil(TPredicate done, int pollMs = -1) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done(Out, Err)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
      int wait = pollMs < 0 ? static_cast<int>(left.count()) : std::min<int>(pollMs, static_cast<int>(left.count()));
      if (::poll(fds, 2, wait) <= 0) continue;
      bool open = false;
      open |= Drain(fds[0], Out);
      open |= Drain(fds[1], Err);
      if (!open) return done(Out, Err);
    }
    return true;
  }

  // Whether the program has blocked SIGINT and SIGTERM, so that they now reach its loop.
  bool StopSignalsBlocked() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigBlk:", 0) == 0) {
        unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
        unsigned long long stop = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
        return (mask & stop) == stop;
      }
    }
    return false;
  }

  // Signals the program and returns its exit status (-1 when a signal ended it).
  int Stop(int signal) {
    ::kill(pid_, signal);
    ReadUntil([](const std::string&, const std::string&) { return false; });  // to the end of output
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Waits for the program to end by itself, reading all it prints, and returns its exit status
  // (-1 when a signal ended it, as it is killed when it still runs past the deadline).
  int Wait() {
    int status = 0;
    bool ended = false;
    ReadUntil([&](const std::string&, const std::string&) { return ended = ::waitpid(pid_, &status, WNOHANG) == pid_; },
              20);
    if (!ended) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    ReadUntil([](const std::string&, const std::string&) { return false; });  // what is left in the pipes
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t Pid() const { return pid_; }
  std::string Out, Err;

private:
  bool Drain(const pollfd& fd, std::string& into) {
    if (fd.revents == 0) return true;
    char buffer[4096];
    ssize_t n = ::read(fd.fd, buffer, sizeof(buffer));
    if (n <= 0) return false;
    into.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

// A blocking connection to a loopback port, reads bounded by 10 seconds; -1 when refused.
inline int ConnectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return fd;
  ::close(fd);
  return -1;
}

// Everything a command printed to standard output.
inline std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

// What a first start writes to standard output: the three hint lines, then the log's lines of
// the certificate made and of GG over TLS running.
constexpr size_t kFirstStartLines = 5;

inline size_t Lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

class ProgramTest : public ::testing::Test {
protected:
  void SetUp() override {
    PrivateNetwork = EnterPrivateNetwork();
    char name[] = "/tmp/ordwin-home-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    Home = name;
    fs::create_directories(Home / ".config" / "Malvory");
  }
  void TearDown() override { fs::remove_all(Home); }
  void Store(const std::string& ini) { std::ofstream(Home / ".config" / "Malvory" / "RIDuziva.conf") << ini; }
  std::string Stored() const {
    std::stringstream text;
    text << std::ifstream(Home / ".config" / "Malvory" / "RIDuziva.conf").rdbuf();
    return text.str();
  }

  fs::path Home;
  bool PrivateNetwork = false;
};

}  // namespace ordwin::test
