// For tests of outgoing connections: the events of a socket object written down as text lines
// in order, and a loopback server that adopts each connection it accepts.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "net/Descriptor.h"
#include "net/WSocket.h"

namespace ordwin::test {

// The message of the exception fn raises, or "<nothing thrown>".
template <typename TBody>
std::string ThrownText(TBody&& fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "<nothing thrown>";
}

// A TCP port where nothing listens on any address (until some program is given it): bound to
// port 0 of every address, read back, released.
inline std::string UnusedPort() {
  TDescriptor h(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof(a);
  ::bind(h.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
  ::getsockname(h.Get(), reinterpret_cast<sockaddr*>(&a), &len);
  return std::to_string(ntohs(a.sin_port));
}

inline const char* StateName(TSocketState s) {
  static const char* names[] = {"invalid",   "opened",    "bound",     "connecting",
                                "connected", "accepting", "listening", "closed"};
  return names[s];
}

// Lines: "state:<old>-><new>", "connected:<error>", "data:<bytes read>", "closed:<error>",
// "dns:<error>", "socks-connected:<error>", "auth:<state>", "socks-error:<code>:<text>".
// Without a read handler given, the data handler reads everything into Received.
struct TEventLog {
  std::vector<std::string> Lines;
  std::string Received;
  bool LogData = true;

  void Wire(TWSocket& s) {
    s.OnChangeState = [this](TObject*, TSocketState o, TSocketState n) {
      Lines.push_back(std::string("state:") + StateName(o) + "->" + StateName(n));
    };
    s.OnSessionConnected = [this](TObject*, uint16_t e) { Add("connected:", e); };
    s.OnSessionClosed = [this](TObject*, uint16_t e) { Add("closed:", e); };
    s.OnDnsLookupDone = [this](TObject*, uint16_t e) { Add("dns:", e); };
    s.OnSocksConnected = [this](TObject*, uint16_t e) { Add("socks-connected:", e); };
    s.OnSocksAuthState = [this](TObject*, TSocksAuthState a) { Add("auth:", a); };
    s.OnSocksError = [this](TObject*, int code, const std::string& msg) {
      Lines.push_back("socks-error:" + std::to_string(code) + ":" + msg);
    };
    s.OnDataAvailable = [this, &s](TObject*, uint16_t) {
      std::string got = s.ReceiveString();
      Received += got;
      if (LogData) Lines.push_back("data:" + got);
    };
  }
  void Add(const char* what, int value) { Lines.push_back(what + std::to_string(value)); }
  bool Has(const std::string& line) const { return std::find(Lines.begin(), Lines.end(), line) != Lines.end(); }
  // The lines that start with one of prefixes, in order.
  std::vector<std::string> Only(std::initializer_list<const char*> prefixes) const {
    std::vector<std::string> out;
    for (const std::string& l : Lines)
      for (const char* p : prefixes)
        if (l.rfind(p, 0) == 0) {
          out.push_back(l);
          break;
        }
    return out;
  }
};

// A listener on 127.0.0.1 with a port of its own that adopts every connection into a TWSocket,
// wired to Log when one is given, and prepared by OnPeer.
struct TLoopbackServer {
  TWSocket Listener{nullptr};
  std::vector<std::unique_ptr<TWSocket>> Peers;
  TEventLog* Log = nullptr;
  std::function<void(TWSocket&)> OnPeer;

  TLoopbackServer() {
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.OnSessionAvailable = [this](TObject*, uint16_t) {
      Peers.push_back(std::make_unique<TWSocket>(nullptr));
      TWSocket& p = *Peers.back();
      if (Log) Log->Wire(p);
      if (OnPeer) OnPeer(p);
      p.Dup(Listener.Accept());
    };
    Listener.Listen();
  }
  std::string Port() { return Listener.GetBoundPort(); }
};

}  // namespace ordwin::test
