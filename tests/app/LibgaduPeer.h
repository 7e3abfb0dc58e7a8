// TLibgaduPeer: the libgadu test client (tests/app/libgadu) started as a child process, given
// commands line by line and read event by event, for the whole-program tests.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>

#include <sys/wait.h>
#include <unistd.h>
#include "tests/app/ProgramRunner.h"

namespace ordwin::test {

// Text as the client's lines carry it: hexadecimal bytes, "-" when empty.
inline std::string Hex(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : text) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out.empty() ? "-" : out;
}

class TLibgaduPeer {
public:
  // Logs in as uin with libgadu's protocol_version protocol at server ("hub": through the
  // server-address request), starting with status and description; with tls 1, encryption if
  // available.
  TLibgaduPeer(uint32_t uin, int protocol, const std::string& server, int status, const std::string& description,
               int tls = 0) {
    // Commands go through a socket, not a pipe: a client that has died fails the test's write
    // instead of killing the test with SIGPIPE and leaving its programs running.
    int in[2], out[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args = {std::to_string(uin),    std::to_string(protocol), server,
                                     std::to_string(status), Hex(description),         std::to_string(tls)};
    // libgadu keeps a few allocations until exit; the sanitizers' leak report is not ours.
    std::vector<std::string> env = {"ASAN_OPTIONS=detect_leaks=0"};
    if (const char* path = std::getenv("PATH")) env.push_back(std::string("PATH=") + path);
    pid_ = Spawn(LIBGADU_CLIENT, std::move(args), std::move(env), &actions);
    EXPECT_GT(pid_, 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~TLibgaduPeer() {
    if (in_ >= 0) ::close(in_);
    ::close(out_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  TLibgaduPeer(const TLibgaduPeer&) = delete;
  TLibgaduPeer& operator=(const TLibgaduPeer&) = delete;

  void Command(const std::string& line) {
    std::string l = line + "\n";
    ASSERT_EQ(::send(in_, l.data(), l.size(), MSG_NOSIGNAL), static_cast<ssize_t>(l.size()));
  }

  // Waits until the client has reported line (a final '*' matches any rest), and takes it (into
  // taken, when given); the lines before it stay.
  bool Saw(const std::string& line, int seconds = 10, std::string* taken = nullptr) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool prefix = !line.empty() && line.back() == '*';
    std::string want = prefix ? line.substr(0, line.size() - 1) : line;
    for (;;) {
      for (auto it = lines_.begin(); it != lines_.end(); ++it) {
        if (prefix ? it->compare(0, want.size(), want) == 0 : *it == want) {
          if (taken != nullptr) *taken = *it;
          lines_.erase(it);
          return true;
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadMore(static_cast<int>(left.count()))) return false;
    }
  }

  // Ends the client: it closes its connection without a word, as libgadu's log-off does.
  void Quit() {
    Command("quit");
    ::close(in_);
    in_ = -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  // What the client reported and no Saw took, for failure messages.
  std::string Unseen() const {
    std::string all;
    for (const std::string& l : lines_) all += l + "\n";
    return all + partial_;
  }

private:
  bool ReadMore(int timeoutMs) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buffer[65536];
    ssize_t n = ::read(out_, buffer, sizeof(buffer));
    if (n <= 0) return false;
    partial_.append(buffer, static_cast<size_t>(n));
    for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::vector<std::string> lines_;
  std::string partial_;
};

}  // namespace ordwin::test
