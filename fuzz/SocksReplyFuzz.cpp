// The SOCKS client's reading of what the proxy answers, at levels 4, 4A and 5 with and without
// user name and password, and of the bytes behind the answer. The target plays the proxy.
// Input: a settings byte (level, authentication, a host name or an address), then records of a
// control byte (bit 7: the proxy closes) and a 16-bit length with that many bytes, which the
// proxy sends; what the client sends is read and dropped.
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "fuzz/FuzzSupport.h"
#include "net/WSocket.h"

namespace {

// The proxy's listening socket on 127.0.0.1, made once; returns its port.
int ProxyListener(int& fd) {
  static int port = 0;
  static ordwin::TDescriptor listener;
  if (!listener.Valid()) {
    listener = ordwin::TDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(listener.Get(), 64);
    socklen_t len = sizeof(a);
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  fd = listener.Get();
  return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ordwin;
  fuzz::TFuzzInput in(data, size);
  const uint8_t settings = in.Byte();
  int listener = -1;
  const int port = ProxyListener(listener);
  static const char* const kLevels[] = {"4", "4A", "5", "5"};
  {
    TWSocket socket(nullptr);
    socket.OnDataAvailable = [&](TObject*, uint16_t) {
      char buffer[1024];
      socket.Receive(buffer, sizeof(buffer));
    };
    socket.SetSocksServer("127.0.0.1");
    socket.SetSocksPort(std::to_string(port));
    socket.SetSocksLevel(kLevels[settings & 3]);
    if (settings & 4) {
      socket.SocksAuthentication = socksAuthenticateUsercode;
      socket.SetSocksUsercode("user");
      socket.SetSocksPassword("secret");
    }
    socket.SetAddr(settings & 8 ? "gg.example.test" : "10.1.2.3");
    socket.SetPort("8074");
    try {
      socket.Connect();
    } catch (const Exception&) {
      return 0;  // a level-4 proxy cannot be given a host name
    }
    TDescriptor proxy;
    for (int i = 0; i < 64 && !proxy.Valid(); ++i) {
      fuzz::Pump(1);
      proxy = TDescriptor(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    }
    if (!proxy.Valid()) return 0;
    // The proxy's end closes first and by reset: no connection of a run waits in TIME_WAIT.
    linger reset{1, 0};
    ::setsockopt(proxy.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    while (!in.Empty() && socket.State() != wsClosed) {
      fuzz::Pump(2);
      fuzz::Drain(proxy.Get());
      if (in.Byte() & 0x80) {
        proxy.Close();
        break;
      }
      fuzz::Offer(proxy.Get(), in.Bytes(in.Short()));
      fuzz::PumpUntilIdle();
    }
    fuzz::Pump(4);
  }
  fuzz::Pump(2);
  return 0;
}
