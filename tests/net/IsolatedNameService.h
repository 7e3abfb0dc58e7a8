// Runs a piece of a test against a name service of the test's own, so that blocking lookups
// never depend on this machine's DNS: in a child process with private mount and network
// namespaces, /etc/hosts, /etc/resolv.conf and /etc/nsswitch.conf are the test's, and a
// TDnsResponder answers on 127.0.0.1:53.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/net/DnsResponder.h"
#include "tests/net/LoopbackUp.h"

namespace ordwin::test {

namespace isolated {

// Root may make the namespaces at once; anyone else through a user namespace, where allowed.
inline bool EnterNamespaces() {
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0) return false;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  }
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 && BringLoopbackUp();
}

inline bool Cover(const std::string& path, const std::string& content, const std::string& dir) {
  std::string own = dir + "/" + std::filesystem::path(path).filename().string();
  std::ofstream(own) << content;
  return ::mount(own.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

inline void WriteAll(int fd, const std::string& data) {
  for (size_t off = 0; off < data.size();) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

}  // namespace isolated

// The lines body returns, or nothing where this machine allows no namespaces. A child that
// fails otherwise gives one line saying so.
inline std::optional<std::vector<std::string>> InIsolatedNameService(
    const std::string& hosts, std::map<std::string, TDnsResponder::TName> names,
    const std::function<std::vector<std::string>()>& body) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    char dir[] = "/tmp/ordwin-names-XXXXXX";
    if (::mkdtemp(dir) == nullptr) ::_exit(1);
    if (!isolated::EnterNamespaces() || !isolated::Cover("/etc/hosts", hosts, dir) ||
        !isolated::Cover("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:2 attempts:1\n", dir) ||
        !isolated::Cover("/etc/nsswitch.conf", "hosts: files dns\nservices: files\nprotocols: files\n", dir)) {
      std::filesystem::remove_all(dir);
      ::_exit(77);
    }
    std::string reply;
    {
      TDnsResponder dns(std::move(names), 53);
      if (dns.Port() != 53) ::_exit(77);
      // Each line as its length and its bytes: a text may hold any byte.
      for (const std::string& line : body()) reply += std::to_string(line.size()) + ":" + line;
    }
    isolated::WriteAll(out[1], reply);
    std::filesystem::remove_all(dir);
    ::_exit(0);
  }
  ::close(out[1]);
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof(buf))) > 0;) got.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::vector<std::string>{"the isolated child failed, status " + std::to_string(status)};
  std::vector<std::string> lines;
  for (size_t at = 0; at < got.size();) {
    size_t colon = got.find(':', at);
    size_t len = std::stoul(got.substr(at, colon - at));
    lines.push_back(got.substr(colon + 1, len));
    at = colon + 1 + len;
  }
  return lines;
}

}  // namespace ordwin::test
