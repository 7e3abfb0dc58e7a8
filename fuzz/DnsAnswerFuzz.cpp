// The handling of name-service answers behind DnsLookup and ReverseDnsLookup. The target plays
// the name server on 127.0.0.1 over UDP: it answers the question with the input, given the
// question's id and, when the first byte asks for it, the header counts from the input and the
// question copied back, so that the answer records are read.
#include <cstdlib>
#include <fstream>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "fuzz/FuzzSupport.h"
#include "net/DnsChannel.h"
#include "net/WSocket.h"

namespace {

// The name server's socket, made once, and the resolver pointed at it.
int NameServer() {
  static ordwin::TDescriptor udp;
  if (!udp.Valid()) {
    static const std::string hosts = "/dev/shm/ordwin-fuzz-no-hosts";
    std::ofstream(hosts) << "";
    ::setenv("CARES_HOSTS", hosts.c_str(), 1);
    udp = ordwin::TDescriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(udp.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(udp.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    ordwin::TEventLoop::Instance().Dns().Configure({"127.0.0.1:" + std::to_string(ntohs(a.sin_port)), 2000, 1});
  }
  return udp.Get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ordwin;
  const int server = NameServer();
  fuzz::TFuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  {
    TWSocket socket(nullptr);
    bool done = false;
    socket.OnDnsLookupDone = [&](TObject*, uint16_t) {
      done = true;
      (void)socket.DnsResultList();
    };
    if (mode & 1)
      socket.ReverseDnsLookup("10.1.2.3");
    else
      socket.DnsLookup("fuzz.test");
    // Each try of the resolver is one question; each gets the next part of the input.
    for (int round = 0; round < 4 && !done; ++round) {
      char question[512];
      sockaddr_in from{};
      socklen_t fromLen = sizeof(from);
      ssize_t n = -1;
      for (int i = 0; i < 64 && n < 0 && !done; ++i) {
        fuzz::Pump(1);
        n = ::recvfrom(server, question, sizeof(question), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
      }
      if (n < 12) break;
      std::string answer(question, 2);  // the question's id
      if (mode & 2) {
        answer += in.Bytes(10);  // flags and the four counts
        answer.append(question + 12, static_cast<size_t>(n - 12));
      }
      answer += in.Bytes(in.Short() % 1024);
      ::sendto(server, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
      for (int i = 0; i < 16 && !done; ++i) fuzz::Pump(1);
    }
    if (!done) socket.CancelDnsLookup();
    fuzz::Pump(2);
  }
  fuzz::Pump(2);
  return 0;
}
