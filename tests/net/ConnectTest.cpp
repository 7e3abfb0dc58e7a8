#include "net/WSocket.h"

#include <string>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "tests/net/SocketLog.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::TEventLog;
using test::TLoopbackServer;
using TLogLines = std::vector<std::string>;
using ConnectTest = test::LoopTest;

int IntOption(int fd, int option) {
  int v = -1;
  socklen_t len = sizeof(v);
  ::getsockopt(fd, SOL_SOCKET, option, &v, &len);
  return v;
}

TEST_F(ConnectTest, StreamConnectsFromItsLocalAddressWithItsOptionsAndCarriesDataBothWays) {
  TEventLog serverLog, log;
  TLoopbackServer server;
  server.Log = &serverLog;
  TWSocket s(nullptr);
  log.Wire(s);
  s.SetAddr("127.0.0.1");
  s.SetPort(server.Port());
  s.SetLocalAddr("127.0.0.1");
  s.Connect();
  EXPECT_EQ(log.Lines, (TLogLines{"state:closed->opened", "state:opened->connecting"}));
  EXPECT_NE(s.LocalPort(), "0");  // bound before connecting, and read back
  // Reuse, keep-alive and linger on with 0 seconds, as on every outgoing stream.
  EXPECT_EQ(IntOption(s.HSocket(), SO_REUSEADDR), 1);
  EXPECT_EQ(IntOption(s.HSocket(), SO_KEEPALIVE), 1);
  linger l{};
  socklen_t len = sizeof(l);
  ::getsockopt(s.HSocket(), SOL_SOCKET, SO_LINGER, &l, &len);
  EXPECT_EQ(l.l_onoff, 1);
  EXPECT_EQ(l.l_linger, 0);

  ASSERT_TRUE(test::PumpUntil([&] { return log.Has("connected:0") && server.Peers.size() == 1; }));
  EXPECT_EQ(log.Lines, (TLogLines{"state:closed->opened", "state:opened->connecting", "state:connecting->connected",
                                  "connected:0"}));
  EXPECT_EQ(server.Peers[0]->PeerPort(), s.LocalPort());
  EXPECT_EQ(s.PeerPort(), server.Port());
  s.SendString("ping");
  server.Peers[0]->SendString("pong");
  ASSERT_TRUE(test::PumpUntil([&] { return serverLog.Received == "ping" && log.Received == "pong"; }));
  EXPECT_THROW(s.Connect(), ESocketException);  // already in use
  s.Close();
  EXPECT_EQ(log.Lines.back(), "closed:0");
  // An end of stream or a reset (linger on, 0 seconds): which one arrives first is the kernel's.
  ASSERT_TRUE(test::PumpUntil([&] { return !serverLog.Only({"closed:"}).empty(); }));
}

TEST_F(ConnectTest, RefusedPortReportsTheErrorInSessionConnectedAndTheCloseFollows) {
  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  s.SetAddr("127.0.0.1");
  s.SetPort(test::UnusedPort());
  s.Connect();
  ASSERT_TRUE(test::PumpUntil([&] { return log.Has("closed:0"); }));
  EXPECT_EQ(log.Lines, (TLogLines{"state:closed->opened", "state:opened->connecting", "state:connecting->connected",
                                  "connected:10061", "state:connected->closed", "closed:0"}));
  EXPECT_EQ(s.State(), wsClosed);
  test::PumpTurns();
  EXPECT_EQ(log.Lines.size(), 6u);
  // Closed means reset: the next Connect needs Addr and Port again.
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }), "Connect: No Port Specified");
}

// A connection opened while the last one on the object is still being reported (from a handler
// of its end, or with a write report queued), or resumed from a pause mid-connect, stays open.
TEST_F(ConnectTest, ANewConnectionHearsNothingOfTheOldOneOnTheSameDescriptor) {
  enum TWhen { wnPeerClosed, wnOwnClose, wnRefused, wnAfterSend, wnResumed, wnResumedLate };
  for (TWhen when : {wnPeerClosed, wnOwnClose, wnRefused, wnAfterSend, wnResumed, wnResumedLate}) {
    TEventLog log;
    TLoopbackServer server;
    TWSocket s(nullptr);
    bool reconnected = false;
    auto connect = [&](const std::string& port) {
      s.Close();
      s.SetAddr("127.0.0.1");
      s.SetPort(port);
      s.Connect();
    };
    auto reconnect = [&] {
      if (!std::exchange(reconnected, true)) connect(server.Port());
    };
    s.OnSessionClosed = [&](TObject*, uint16_t e) {
      log.Add("closed:", e);
      if (when <= wnOwnClose) reconnect();
    };
    s.OnSessionConnected = [&](TObject*, uint16_t e) {
      if (e != 0) reconnect();
    };
    s.OnDataSent = [&](TObject*, uint16_t) { log.Lines.push_back(test::StateName(s.State())); };
    connect(when == wnRefused ? test::UnusedPort() : server.Port());
    if (when >= wnResumed) s.Pause();
    ASSERT_TRUE(when == wnRefused || when == wnResumed || test::PumpUntil([&] {
                  return server.Peers.size() == 1 && (when == wnResumedLate || log.Has("connected"));
                }));
    if (when >= wnResumed) s.Resume();
    if (when == wnPeerClosed) server.Peers[0]->Close();
    if (when == wnOwnClose) s.Close();
    if (when == wnAfterSend && s.SendString("old") > 0) reconnect();
    ASSERT_TRUE(test::PumpUntil([&] { return (reconnected || when >= wnResumed) && s.State() == wsConnected; }, 3))
        << when;
    EXPECT_EQ(log.Only({"closed:"}).size(), when >= wnResumed ? 0u : 1u) << when;
    EXPECT_FALSE(log.Has("connecting")) << when;
  }
}

TEST_F(ConnectTest, GuardsAndFailuresBeforeAnyConnectionHaveTheirTexts) {
  TLoopbackServer server;
  TWSocket s(nullptr);
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }), "Connect: No Port Specified");
  s.SetPort("1");
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }), "Connect: No IP Address Specified");
  s.SetAddr("127.0.0.1");
  s.SetProto("");
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }), "Connect: No Protocol Specified");
  s.SetProto("tcp");
  s.SetPort("99999");
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");
  s.SetPort("1");
  s.SetLocalPort("no-such-service");
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }),
            "connect: WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004");
  EXPECT_EQ(s.State(), wsClosed);

  // The local port is the listener's: the bind fails after the socket was opened.
  s.SetLocalAddr("127.0.0.1");
  s.SetLocalPort(server.Port());
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }), "winsock.bind failed, error #10048");
  EXPECT_EQ(s.State(), wsOpened);
  EXPECT_EQ(s.LastError(), 10048);
  s.Close();
  EXPECT_EQ(s.State(), wsClosed);

  EXPECT_EQ(test::ThrownText([&] { server.Listener.Connect(); }), "Connect: Socket already in use");
  EXPECT_EQ(server.Listener.State(), wsListening);
}

TEST_F(ConnectTest, DatagramIsConnectedAtOnceFromABoundPortAndBroadcastIsAllowedFor255) {
  TDescriptor peer(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  ASSERT_EQ(::bind(peer.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ::getsockname(peer.Get(), reinterpret_cast<sockaddr*>(&a), &len);

  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  s.OnDataAvailable = [&](TObject*, uint16_t) {
    char buf[64];
    sockaddr_in from{};
    int fromLen = sizeof(from);
    int n = s.ReceiveFrom(buf, sizeof(buf), from, fromLen);
    if (n > 0) log.Lines.push_back("from:" + std::to_string(ntohs(from.sin_port)) + ":" + std::string(buf, n));
  };
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(ntohs(a.sin_port)));
  s.Connect();
  EXPECT_EQ(log.Lines, (TLogLines{"state:closed->opened", "state:opened->connected", "connected:0"}));
  EXPECT_EQ(IntOption(s.HSocket(), SO_BROADCAST), 0);
  ASSERT_NE(s.LocalPort(), "0");

  s.SendString("datagram");
  char buf[64];
  sockaddr_in from{};
  len = sizeof(from);
  ASSERT_TRUE(test::PumpUntil([&] {
    return ::recvfrom(peer.Get(), buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len) == 8;
  }));
  EXPECT_EQ(std::string(buf, 8), "datagram");
  EXPECT_EQ(std::to_string(ntohs(from.sin_port)), s.LocalPort());
  ::sendto(peer.Get(), "back", 4, 0, reinterpret_cast<sockaddr*>(&from), len);
  ASSERT_TRUE(test::PumpUntil([&] { return log.Has("from:" + std::to_string(ntohs(a.sin_port)) + ":back"); }));
  s.Close();

  TWSocket b(nullptr);
  b.SetProto("udp");
  b.SetAddr("255.255.255.255");
  b.SetPort("9");
  b.Connect();
  EXPECT_EQ(IntOption(b.HSocket(), SO_BROADCAST), 1);
  b.Close();
}

}  // namespace
}  // namespace ordwin
