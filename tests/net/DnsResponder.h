// A small DNS server for tests and benchmarks, on 127.0.0.1 over UDP and TCP on one port, in a
// thread of its own. It answers A and PTR questions from its table; every other name is not
// found. Some names misbehave on purpose (see TBehaviour).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "net/Descriptor.h"

namespace ordwin::test {

class TDnsResponder {
public:
  enum class TBehaviour {
    bhAnswer,     // the records of the table (none: "not found")
    bhSilent,     // never answers
    bhTruncated,  // over UDP only the header with the truncation bit; the answer over TCP
    bhCutShort,   // the answer ends in the middle of its first record
    bhBadHeader,  // a reply of five bytes
  };
  struct TName {
    std::vector<std::string> Addresses;  // dotted, in answer order (A)
    std::string Host;                    // the answer to a PTR question for this name
    TBehaviour Mode = TBehaviour::bhAnswer;
  };

  // Names are matched without regard to case. port 0 picks a free one.
  explicit TDnsResponder(std::map<std::string, TName> table, uint16_t port = 0) : table_(std::move(table)) {
    for (int attempt = 0; attempt < 20 && !tcp_.Valid(); ++attempt) {
      udp_ = Bound(SOCK_DGRAM, port);
      sockaddr_in a{};
      socklen_t len = sizeof(a);
      ::getsockname(udp_.Get(), reinterpret_cast<sockaddr*>(&a), &len);
      port_ = ntohs(a.sin_port);
      tcp_ = Bound(SOCK_STREAM, port_);
      if (tcp_.Valid()) ::listen(tcp_.Get(), 16);
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~TDnsResponder() {
    uint64_t one = 1;
    ssize_t n = ::write(stop_.Get(), &one, sizeof(one));
    (void)n;
    thread_.join();
  }
  TDnsResponder(const TDnsResponder&) = delete;
  TDnsResponder& operator=(const TDnsResponder&) = delete;

  uint16_t Port() const { return port_; }
  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }
  int Questions() const { return questions_; }
  int TcpQuestions() const { return tcpQuestions_; }

  // The name a PTR question asks for the dotted address ("4.3.2.1.in-addr.arpa").
  static std::string ReverseName(const std::string& dotted) {
    in_addr a{};
    ::inet_aton(dotted.c_str(), &a);
    const auto* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
    return std::to_string(b[3]) + "." + std::to_string(b[2]) + "." + std::to_string(b[1]) + "." + std::to_string(b[0]) +
           ".in-addr.arpa";
  }

private:
  static TDescriptor Bound(int type, uint16_t port) {
    TDescriptor h(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(h.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    // Room for a thousand questions at once: a datagram takes far more than its bytes.
    int room = 4 << 20;
    ::setsockopt(h.Get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(h.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return TDescriptor();
    return h;
  }

  void Serve() {
    for (;;) {
      pollfd fds[3] = {{stop_.Get(), POLLIN, 0}, {udp_.Get(), POLLIN, 0}, {tcp_.Get(), POLLIN, 0}};
      if (::poll(fds, 3, -1) <= 0) continue;
      if (fds[0].revents) return;
      if (fds[1].revents) {
        unsigned char q[1500];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = ::recvfrom(udp_.Get(), q, sizeof(q), 0, reinterpret_cast<sockaddr*>(&from), &len);
        std::string reply = n > 0 ? Reply(std::string(reinterpret_cast<char*>(q), n), false) : std::string();
        if (!reply.empty())
          ::sendto(udp_.Get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
      if (fds[2].revents) ServeTcp();
    }
  }

  // One question per connection, as the tests' clients ask: length-prefixed both ways.
  void ServeTcp() {
    TDescriptor c(::accept4(tcp_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    timeval tv{2, 0};
    ::setsockopt(c.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    std::string in;
    char buf[1024];
    while (in.size() < 2 || in.size() < 2 + Be16(in, 0)) {
      ssize_t n = ::recv(c.Get(), buf, sizeof(buf), 0);
      if (n <= 0) return;
      in.append(buf, static_cast<size_t>(n));
    }
    ++tcpQuestions_;
    std::string reply = Reply(in.substr(2, Be16(in, 0)), true);
    if (reply.empty()) return;
    std::string out = Bytes16(reply.size()) + reply;
    ::send(c.Get(), out.data(), out.size(), MSG_NOSIGNAL);
  }

  static size_t Be16(const std::string& s, size_t at) {
    return static_cast<size_t>(static_cast<unsigned char>(s[at])) << 8 | static_cast<unsigned char>(s[at + 1]);
  }
  static std::string Bytes16(size_t v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 255)}; }

  std::string Reply(const std::string& q, bool overTcp) {
    ++questions_;
    // The question: labels up to the root, then type and class.
    size_t at = 12;
    std::string name;
    while (at < q.size() && q[at] != 0) {
      size_t len = static_cast<unsigned char>(q[at]);
      if (at + 1 + len > q.size()) return {};
      if (!name.empty()) name += '.';
      name += q.substr(at + 1, len);
      at += 1 + len;
    }
    if (q.size() < 12 || at + 5 > q.size()) return {};
    const size_t type = Be16(q, at + 1);
    const std::string question = q.substr(12, at + 5 - 12);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });

    auto it = table_.find(name);
    const TName none;
    const TName& entry = it == table_.end() ? none : it->second;
    if (entry.Mode == TBehaviour::bhSilent) return {};
    if (entry.Mode == TBehaviour::bhBadHeader) return q.substr(0, 2) + std::string("\x81\x80\x00", 3);

    std::vector<std::string> rdata;
    if (type == 1)
      for (const std::string& a : entry.Addresses) {
        in_addr v{};
        ::inet_aton(a.c_str(), &v);
        rdata.emplace_back(reinterpret_cast<const char*>(&v.s_addr), 4);
      }
    if (type == 12 && !entry.Host.empty()) rdata.push_back(Encoded(entry.Host));
    const bool known = it != table_.end();
    const bool truncate = entry.Mode == TBehaviour::bhTruncated && !overTcp;
    std::string r = q.substr(0, 2);
    r += static_cast<char>(0x81 | (truncate ? 0x02 : 0));  // a reply, recursion desired
    r += static_cast<char>(known ? 0x80 : 0x83);           // recursion available; NXDOMAIN
    r += Bytes16(1) + Bytes16(truncate ? 0 : rdata.size()) + Bytes16(0) + Bytes16(0) + question;
    if (truncate) return r;
    for (const std::string& d : rdata)
      r += std::string("\xC0\x0C", 2) + Bytes16(type) + Bytes16(1) + std::string("\0\0\0\x3C", 4) + Bytes16(d.size()) +
           d;
    if (entry.Mode == TBehaviour::bhCutShort && !rdata.empty()) r.resize(12 + question.size() + 7);
    return r;
  }

  static std::string Encoded(const std::string& host) {
    std::string out;
    size_t start = 0;
    while (start <= host.size()) {
      size_t dot = host.find('.', start);
      if (dot == std::string::npos) dot = host.size();
      out += static_cast<char>(dot - start);
      out += host.substr(start, dot - start);
      start = dot + 1;
    }
    return out + '\0';
  }

  std::map<std::string, TName> table_;
  TDescriptor udp_, tcp_;
  TDescriptor stop_{::eventfd(0, EFD_CLOEXEC)};
  uint16_t port_ = 0;
  std::atomic<int> questions_{0}, tcpQuestions_{0};
  std::thread thread_;
};

}  // namespace ordwin::test
