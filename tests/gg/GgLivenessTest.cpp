// The GG listener's watch over its connections, its limits lowered: silence before and after
// login, and clients that vanish behind a link that drops their packets.
#include "gg/GgGenericSerwer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/gg/GgSessionFixture.h"
#include "tests/net/LoopbackUp.h"
#include "tests/net/VanishingLink.h"

namespace ordwin {
namespace {

using namespace std::chrono_literals;
using test::L;
using test::Le;
using test::PumpUntil;
using test::Status60;
using test::TGgPacket;
using test::TGgTestPeer;

class GgLivenessTest : public test::GgSessionTest {
protected:
  void SetUp() override {
    PrivateNetwork = test::EnterPrivateNetwork();
    GgSessionTest::SetUp();
  }
  // A client logged in as uin with status 2 from the link's far end.
  TGgTestPeer FarClient(test::TVanishingLink& link, int32_t uin) {
    TDescriptor fd;
    link.InFar([&] { fd = TDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); });
    EXPECT_TRUE(test::ConnectSocket(fd.Get(), Port, ::inet_addr(test::TVanishingLink::kNear)));
    TGgTestPeer peer(std::move(fd));
    EXPECT_EQ(peer.Next().Type, 1);
    Login(peer, uin);
    peer.Send(2, Le(2));
    return peer;
  }
  bool PrivateNetwork = false;
};

// A connection that does not log in in time, and a logged-in one that falls silent, are closed
// with a line saying why (the second told to the others as gone); one that keeps talking stays.
TEST_F(GgLivenessTest, SilentConnectionsAreClosedPastTheLimits) {
  TGgLimits& limits = Session->RIDuziva().Limits;
  limits.LoginLimit = 1s;
  limits.IdleLimit = 2s;
  limits.SweepPeriod = 100ms;
  TGgTestPeer talking = Connected(1);
  TGgTestPeer silent = Connected(2);
  silent.Send(2, Le(2));
  EXPECT_EQ(talking.Next().Payload, Status60(2, 2));
  TGgTestPeer anonymous = Connect();
  Log.clear();
  for (int i = 0; i < 40 && !(silent.WaitEnded(0.1) && anonymous.WaitEnded(0)); ++i) talking.Send(8, "");
  EXPECT_TRUE(silent.WaitEnded(0) && anonymous.WaitEnded(0));
  EXPECT_EQ(talking.Next().Payload, Status60(2, 1));
  std::vector<std::string> notes;
  for (const std::string& line : Log)
    if (line[0] == '<') notes.push_back(line);
  EXPECT_EQ(notes, (std::vector<std::string>{L("<brak logowania przez 1 s, połączenie zamknięte"),
                                             L("<użytkownik 2 milczy od 2 s, połączenie zamknięte"),
                                             L("<użytkownik 2 rozłączył się bez wylogowania")}));
  EXPECT_EQ(Client(0)->State(), wsConnected);
}

// Clients whose packets are dropped: one with nothing sent to it is found by keep-alive, one
// with messages sent to it by the user timeout, and its messages are not "delivered" once its
// platform stops acknowledging them. The others are told both left; a message after that is
// not delivered either.
TEST_F(GgLivenessTest, VanishedClientsAreAnnouncedAndTheirMessagesNotDelivered) {
  test::TVanishingLink link;
  if (!PrivateNetwork || !link.Valid()) GTEST_SKIP() << "needs root: network namespaces and a veth pair of its own";
  TGgLimits& limits = Session->RIDuziva().Limits;
  limits.KeepAliveIdle = limits.KeepAliveInterval = 1s;
  limits.UserTimeout = 2s;
  TGgTestPeer watcher = Connected(1);
  TGgTestPeer quiet = FarClient(link, 2), talked = FarClient(link, 3);
  EXPECT_EQ(watcher.Next().Payload, Status60(2, 2));
  EXPECT_EQ(watcher.Next().Payload, Status60(3, 2));
  link.Drop();
  std::set<std::string> told;  // notifications, read on the way to each acknowledgement
  auto ackFor = [&](int32_t to) {
    watcher.Send(11, Le(to) + Le(7) + Le(8) + "x" + std::string(1, '\0'));
    for (TGgPacket p = watcher.Next();; p = watcher.Next()) {
      if (p.Type == 15) told.insert(p.Payload);
      if (p.Type == 5 || p.Type == -1) return LeBytesToInt(p.Payload, 0);
    }
  };
  int tries = 0;
  while (++tries < 50 && ackFor(3) == 2) PumpUntil([] { return false; }, 0.1);
  EXPECT_LT(tries, 50);
  EXPECT_EQ(Client(2)->State(), wsConnected);  // refused as unacknowledged, before it is known gone
  EXPECT_TRUE(PumpUntil(
      [&] {
        if (TGgPacket p; watcher.Receive(p, 0) && p.Type == 15) told.insert(p.Payload);
        return told.size() == 2;
      },
      10));
  EXPECT_EQ(told, (std::set<std::string>{Status60(2, 1), Status60(3, 1)}));
  EXPECT_EQ(ackFor(2), 1);
  for (int32_t uin : {2, 3})
    EXPECT_NE(std::find(Log.begin(), Log.end(),
                        L("<użytkownik " + std::to_string(uin) + " nie odpowiada, połączenie zamknięte")),
              Log.end());
}

}  // namespace
}  // namespace ordwin
