#include "gg/GgGenericSerwer.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <netinet/tcp.h>

#include <sys/time.h>

#include <gtest/gtest.h>

#include "gg/RIDuziva.h"
#include "tests/gg/GgTestPeer.h"
#include "tests/net/SocketLog.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::GgPacketBytes;
using test::TGgTestPeer;
using test::PumpUntil;

// The GG listener with every event recorded, in order, as one line each.
class ListenerTest : public test::LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    Listener = std::make_unique<TRiDuziva>(nullptr);
    // The handlers use Raw: they also run while the unique_ptr is being reset.
    Raw = Listener.get();
    Listener->OnClientConnect = [this](TObject* sender, TGgClient* c) {
      EXPECT_EQ(sender, Raw);
      Clients.push_back(c);
      Events.push_back("connect");
      c->OnConnectionClosed = [this](TObject*) {
        Events.push_back("closed listed " + std::to_string(Raw->SocketServer()->CountClients()));
        if (OnClosed) OnClosed();
      };
      if (OnConnect) OnConnect(c);
    };
    Listener->OnClientDataAvailable = [this](TObject*, TGgClient*, const std::string& data) {
      Events.push_back("data " + std::to_string(data.size()));
    };
    Listener->OnClientCommand = [this](TGgClient* c, int32_t type, std::string_view) {
      EXPECT_NE(std::find(Clients.begin(), Clients.end(), c), Clients.end());
      Events.push_back("packet " + std::to_string(type));
    };
    Listener->OnClientDisconnect = [this](TObject* sender, TGgClient* c) {
      EXPECT_EQ(sender, Raw);
      Disconnected.push_back(c);
      Events.push_back("disconnect");
    };
    Listener->OnDebugLog = [this](TObject* sender, const std::string& line) {
      EXPECT_EQ(sender, Raw);
      Events.push_back("debug " + line);
    };
    Listener->OnServerClosed = [this](TObject*, uint16_t error) {
      Events.push_back("server closed " + std::to_string(error));
    };
    Listener->OnServerListening = [this](TObject*) { Events.push_back("listening"); };
  }
  void TearDown() override {
    Listener.reset();
    LoopTest::TearDown();
  }

  // Listens on an ephemeral port and returns its number.
  int Listen() {
    Listener->SetPort(0);
    std::string error = "not asked";
    Listener->Listen(error);
    EXPECT_EQ(error, "");
    return BoundPort();
  }
  int BoundPort() const { return std::stoi(Listener->SocketServer()->GetBoundPort()); }

  TGgTestPeer Connect(int port) {
    size_t before = Clients.size();
    TGgTestPeer peer(port);
    EXPECT_TRUE(PumpUntil([&] { return Clients.size() > before; }));
    return peer;
  }

  std::unique_ptr<TRiDuziva> Listener;
  TRiDuziva* Raw = nullptr;
  std::vector<TGgClient*> Clients;
  std::vector<TGgClient*> Disconnected;
  std::vector<std::string> Events;
  std::function<void(TGgClient*)> OnConnect;
  std::function<void()> OnClosed;
};

// A listener of the generic class, whose framing does nothing.
class TBareSerwer : public TGgGenericSerwer {
public:
  using TGgGenericSerwer::TGgGenericSerwer;
  void ProcessClientData(TGgClient*, const std::string&) override {}
};

TEST_F(ListenerTest, PortsByDefaultAndNothingSentOnConnect) {
  EXPECT_EQ(Listener->Port(), 8074);
  EXPECT_FALSE(Listener->Active());
  EXPECT_EQ(TBareSerwer(nullptr).Port(), 0);

  int port = Listen();
  EXPECT_TRUE(Listener->Active());
  EXPECT_EQ(Events, (std::vector<std::string>{"listening"}));
  TGgTestPeer peer = Connect(port);
  EXPECT_EQ(peer.Unread(), "");
  // Small packets go out at once rather than wait for the client's acknowledgement.
  int noDelay = 0;
  socklen_t len = sizeof(noDelay);
  ASSERT_EQ(::getsockopt(Clients[0]->HSocket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &len), 0);
  EXPECT_EQ(noDelay, 1);
}

TEST_F(ListenerTest, ListenTwiceChangesNothing) {
  int port = Listen();
  std::string error = "left from before";
  Listener->Listen(error);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(Listener->Active());
  EXPECT_EQ(BoundPort(), port);
  EXPECT_EQ(Events, (std::vector<std::string>{"listening"}));
}

TEST_F(ListenerTest, APortInUseIsReportedAsErrorTextAndTheListenerStaysUsable) {
  TDescriptor blocker(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(::bind(blocker.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(::listen(blocker.Get(), 1), 0);
  socklen_t len = sizeof(a);
  ::getsockname(blocker.Get(), reinterpret_cast<sockaddr*>(&a), &len);

  Listener->SetPort(ntohs(a.sin_port));
  std::string error;
  Listener->Listen(error);
  EXPECT_EQ(error, "Error 10048 in function Bind\r\nAddress already in use");
  EXPECT_FALSE(Listener->Active());
  Listener->SetPort(70000);
  Listener->Listen(error);
  EXPECT_EQ(error, "listen: WSocketResolvePort: Invalid Port.");
  EXPECT_FALSE(Listener->Active());
  EXPECT_TRUE(Events.empty());

  int port = Listen();
  EXPECT_NE(port, ntohs(a.sin_port));
  EXPECT_TRUE(Listener->Active());
  TGgTestPeer peer = Connect(port);
  EXPECT_EQ(Events, (std::vector<std::string>{"listening", "connect"}));
}

TEST_F(ListenerTest, PortAndClientClassChangeOnlyWhileNotActive) {
  Listen();
  try {
    Listener->SetPort(8075);
    ADD_FAILURE() << "SetPort while active";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Port property can only be modified when proxy is not active");
  }
  EXPECT_EQ(Listener->Port(), 0);
  try {
    Listener->SetClientClass([](TComponent* owner) -> TWSocketClient* { return new TGgClient(owner); });
    ADD_FAILURE() << "SetClientClass while active";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "ClientClass property can only be modified when proxy is not active");
  }

  Listener->Close();
  EXPECT_FALSE(Listener->Active());
  int next = std::stoi(test::UnusedPort());
  Listener->SetPort(next);
  std::string error;
  Listener->Listen(error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(BoundPort(), next);
  TGgTestPeer peer = Connect(next);
  EXPECT_EQ(Clients.size(), 1u);
}

TEST_F(ListenerTest, CloseClosesEveryClientThenTheListenerAndReleasesClientsLater) {
  int port = Listen();
  TGgTestPeer a = Connect(port);
  TGgTestPeer b = Connect(port);
  Events.clear();
  Listener->Close();
  EXPECT_EQ(Events,
            (std::vector<std::string>{"debug TGgGenericSerwer.Close", "debug TGgGenericSerwer.CloseSocketServer",
                                      "closed listed 2", "closed listed 2", "server closed 0"}));
  EXPECT_FALSE(Listener->Active());
  EXPECT_TRUE(Disconnected.empty());
  ASSERT_TRUE(PumpUntil([&] { return Disconnected.size() == 2; }));
  EXPECT_EQ(Disconnected, Clients);
  EXPECT_TRUE(a.WaitEnded());
  EXPECT_TRUE(b.WaitEnded());
  EXPECT_EQ(test::ConnectTo(port).Valid(), false);

  // Closing a listener that is not active closes nothing more and raises no event.
  Events.clear();
  Listener->Close();
  EXPECT_EQ(Events,
            (std::vector<std::string>{"debug TGgGenericSerwer.Close", "debug TGgGenericSerwer.CloseSocketServer"}));
}

TEST_F(ListenerTest, ADisconnectComesOnALaterTurnThanTheClose) {
  int port = Listen();
  TGgTestPeer peer = Connect(port);
  bool closed = false;
  OnClosed = [&] { closed = true; };
  peer.SendRaw(GgPacketBytes(8, ""));
  peer.Close();
  ASSERT_TRUE(PumpUntil([&] { return closed; }));
  // The turn that saw the close is over: the client is still listed, closed, until released.
  EXPECT_TRUE(Disconnected.empty());
  EXPECT_EQ(Listener->SocketServer()->CountClients(), 1);
  EXPECT_EQ(Listener->SocketServer()->ClientAt(0), Clients[0]);
  EXPECT_EQ(Clients[0]->State(), wsClosed);
  ASSERT_TRUE(PumpUntil([&] { return !Disconnected.empty(); }));
  EXPECT_EQ(Listener->SocketServer()->CountClients(), 0);
  EXPECT_EQ(Events,
            (std::vector<std::string>{"listening", "connect", "data 8", "packet 8", "closed listed 1", "disconnect"}));
}

TEST_F(ListenerTest, AConnectHandlerThatRaisesIsLoggedAndAcceptingGoesOn) {
  int port = Listen();
  OnConnect = [](TGgClient*) { throw Exception("connect handler failed"); };
  TGgTestPeer first = Connect(port);
  ASSERT_TRUE(PumpUntil([&] { return Events.size() >= 3; }));
  EXPECT_EQ(Events, (std::vector<std::string>{"listening", "connect",
                                              "debug Background exception in server: connect handler failed"}));
  EXPECT_TRUE(Listener->Active());

  OnConnect = nullptr;
  TGgTestPeer second = Connect(port);
  second.SendRaw(GgPacketBytes(8, ""));
  ASSERT_TRUE(PumpUntil([&] { return Events.back() == "packet 8"; }));
  EXPECT_EQ(Clients.size(), 2u);
}

TEST_F(ListenerTest, AClientBackgroundExceptionIsLoggedAndTheClientStillReleased) {
  int port = Listen();
  TGgTestPeer peer = Connect(port);
  OnClosed = [] { throw Exception("close handler failed"); };
  peer.Close();
  ASSERT_TRUE(PumpUntil([&] { return !Disconnected.empty(); }));
  EXPECT_EQ(Events,
            (std::vector<std::string>{"listening", "connect", "closed listed 1",
                                      "debug Background exception in server: close handler failed", "disconnect"}));
}

TEST_F(ListenerTest, AClientClassOtherThanTGgClientIsLoggedAsABadCast) {
  Listener->SetClientClass([](TComponent* owner) -> TWSocketClient* { return new TWSocketClient(owner); });
  int port = Listen();
  TGgTestPeer peer(port);
  ASSERT_TRUE(PumpUntil([&] { return Events.size() >= 2; }));
  EXPECT_EQ(Events,
            (std::vector<std::string>{"listening", "debug Background exception in server: Invalid class typecast"}));
}

TEST_F(ListenerTest, DestructionClosesEveryClientWithoutEvents) {
  int port = Listen();
  TGgTestPeer a = Connect(port);
  TGgTestPeer b = Connect(port);
  Events.clear();
  Listener.reset();
  EXPECT_EQ(Events,
            (std::vector<std::string>{"debug TGgGenericSerwer.CloseSocketServer", "closed listed 2", "closed listed 2",
                                      "debug TGgGenericSerwer.Destroy", "debug TGgGenericSerwer.CloseSocketServer"}));
  EXPECT_TRUE(a.WaitEnded());
  EXPECT_TRUE(b.WaitEnded());
  test::PumpTurns();
  EXPECT_TRUE(Disconnected.empty());
  EXPECT_EQ(Events.size(), 5u);
  EXPECT_FALSE(test::ConnectTo(port).Valid());
}

TEST_F(ListenerTest, SendToClientSendsOnlyToAConnectedClient) {
  int port = Listen();
  TGgTestPeer peer = Connect(port);
  Listener->SendToClient(Clients[0], "abc");
  Listener->SendToClient(nullptr, "abc");
  EXPECT_EQ(peer.Unread(), "abc");
  Clients[0]->Close();
  Listener->SendToClient(Clients[0], "def");
  EXPECT_TRUE(peer.WaitEnded());
  EXPECT_EQ(peer.Unread(), "");
}

TEST_F(ListenerTest, ShutdownWhenSentEndsTheSendingDirectionAfterTheQueueDrained) {
  int port = Listen();
  TGgTestPeer idle = Connect(port);
  TGgTestPeer busy = Connect(port);

  Listener->ShutdownClientWhenSent(Clients[0]);
  EXPECT_FALSE(Clients[0]->ShutdownWhenSent);
  EXPECT_TRUE(idle.WaitEnded());
  // Only the sending direction: the client still reads.
  idle.SendRaw(GgPacketBytes(8, ""));
  ASSERT_TRUE(PumpUntil([&] { return Events.back() == "packet 8"; }));

  std::string big(4 * 1024 * 1024, 'z');
  Clients[1]->SendString(big);
  ASSERT_FALSE(Clients[1]->SendQueueEmpty());
  Listener->ShutdownClientWhenSent(Clients[1]);
  EXPECT_TRUE(Clients[1]->ShutdownWhenSent);
  std::string got;
  ASSERT_TRUE(PumpUntil([&] {
    got += test::ReadAvailable(busy.Fd());
    char c;
    return got.size() >= big.size() && ::recv(busy.Fd(), &c, 1, MSG_DONTWAIT) == 0;
  }));
  EXPECT_EQ(got, big);
}

// Every GG client of a network comes back at once after an outage: the listener's queue takes
// the whole burst. A client whose first packet found the queue full would wait seconds for a
// second try, and one whose handshake ended on its side only could hang for minutes until reset.
TEST_F(ListenerTest, ABurstOfClientsIsTakenWithoutASecondTry) {
  const int port = Listen();
  constexpr int kBurst = 100;
  std::vector<TDescriptor> peers;
  for (int i = 0; i < kBurst; ++i) {
    TDescriptor peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval bound{5, 0};  // a second try comes after one second, a third after three
    ::setsockopt(peer.Get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
    ASSERT_TRUE(test::ConnectSocket(peer.Get(), port)) << "connection " << i;
    peers.push_back(std::move(peer));
  }
  EXPECT_TRUE(PumpUntil([&] { return Clients.size() == kBurst; }));
}

}  // namespace
}  // namespace ordwin
