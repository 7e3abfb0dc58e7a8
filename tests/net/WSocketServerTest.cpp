#include "net/WSocketS.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::DrainPeer;
using test::PumpUntil;

bool PeerEnded(int fd) {
  std::string ignored;
  return DrainPeer(fd, ignored);
}

// Pumps until the peer has received n bytes or its connection ended; returns what came.
std::string ReadPeer(int fd, size_t n) {
  std::string got;
  PumpUntil([&] { return DrainPeer(fd, got) || got.size() >= n; });
  return got;
}

// A server on 127.0.0.1 with an ephemeral port; Log records the events of the server and of its
// clients (each client's data and close handlers are wired in OnClientCreate).
class ServerTest : public test::LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    Server = std::make_unique<TWSocketServer>(nullptr);
    Server->OnClientCreate = [this](TObject* sender, TWSocketClient* c) {
      EXPECT_EQ(sender, Server.get());
      Log.push_back("create " + State(c));
      c->OnDataAvailable = [this, c](TObject*, uint16_t) {
        std::string got = c->ReceiveString();
        if (!got.empty()) Log.push_back("data " + got);
      };
      c->OnSessionClosed = [this, c](TObject*, uint16_t) {
        Log.push_back("closed " + c->Name() + " listed " + std::to_string(Server->CountClients()));
      };
      if (OnCreate) OnCreate(c);
    };
    Server->OnClientConnect = [this](TObject*, TWSocketClient* c, uint16_t e) {
      Log.push_back("connect " + c->Name() + " " + State(c) + " " + std::to_string(e));
      if (OnConnect) OnConnect(c);
    };
    Server->OnClientDisconnect = [this](TObject*, TWSocketClient* c, uint16_t e) {
      Log.push_back("disconnect " + c->Name() + " " + State(c) + " " + std::to_string(e) + " listed " +
                    std::to_string(Server->CountClients()));
      if (OnDisconnect) OnDisconnect(c);
    };
    Server->OnBgException = [this](TObject*, const Exception& e, bool& canClose) {
      Log.push_back("bg " + e.Message());
      canClose = false;
    };
    Server->SetAddr("127.0.0.1");
    Server->SetPort("0");
    Server->Listen();
    Port = std::stoi(Server->GetBoundPort());
  }
  void TearDown() override {
    Server.reset();
    LoopTest::TearDown();
  }

  static std::string State(TWSocketClient* c) {
    return c->State() == wsConnected ? "connected" : c->State() == wsClosed ? "closed" : "other";
  }

  // Connects a peer and pumps until the accept sequence has run for it.
  TDescriptor Connect() {
    int before = Server->ClientNumber();
    TDescriptor peer = test::ConnectTo(Port);
    EXPECT_TRUE(peer.Valid());
    EXPECT_TRUE(PumpUntil([&] { return Server->ClientNumber() > before; }));
    return peer;
  }

  std::vector<std::string> Log;
  std::unique_ptr<TWSocketServer> Server;
  int Port = 0;
  std::function<void(TWSocketClient*)> OnCreate, OnConnect, OnDisconnect;
};

TEST_F(ServerTest, OneClientFromAcceptToRelease) {
  EXPECT_EQ(Server->Banner, "Welcome to TcpSrv");
  std::string peerPort;
  OnDisconnect = [&](TWSocketClient* c) {
    Log.push_back("peer " + c->PeerAddr() + ":" + c->PeerPort());
    EXPECT_EQ(c->CachedPeerAddr(), "127.0.0.1");
  };
  TDescriptor peer = Connect();
  {
    sockaddr_in local{};
    socklen_t len = sizeof(local);
    ::getsockname(peer.Get(), reinterpret_cast<sockaddr*>(&local), &len);
    peerPort = std::to_string(ntohs(local.sin_port));
  }
  EXPECT_EQ(ReadPeer(peer.Get(), 19), "Welcome to TcpSrv\r\n");
  ASSERT_EQ(Server->CountClients(), 1);
  TWSocketClient* client = Server->ClientAt(0);
  EXPECT_EQ(client->Server, Server.get());
  EXPECT_EQ(client->PeerPort(), peerPort);

  test::SendAll(peer.Get(), "hello");
  ASSERT_TRUE(PumpUntil([&] { return Log.size() >= 3; }));
  peer.Close();
  ASSERT_TRUE(PumpUntil([&] { return Log.size() >= 4; }));
  // The close and the release are on different turns: in between, the client is still listed.
  EXPECT_EQ(Server->CountClients(), 1);
  EXPECT_EQ(Server->ClientAt(0), client);
  EXPECT_EQ(client->State(), wsClosed);
  EXPECT_TRUE(client->ClosePosted());
  ASSERT_TRUE(PumpUntil([&] { return Server->CountClients() == 0; }));
  EXPECT_EQ(Log, (std::vector<std::string>{"create closed", "connect Client1 connected 0", "data hello",
                                           "closed Client1 listed 1", "disconnect Client1 closed 0 listed 1",
                                           "peer 127.0.0.1:" + peerPort}));
}

// The release (of a client closed or released in its handler) delivered by a turn run there.
TEST_F(ServerTest, AClientReleasedByATurnRunFromItsOwnHandlerLivesUntilTheHandlerReturns) {
  for (int way : {0, 1, 2}) {  // closed then a turn, closed then a wait, released then a turn
    bool disconnected = false;
    std::string seen;  // by the handler, once the loop has run
    OnDisconnect = [&](TWSocketClient*) { disconnected = true; };
    OnCreate = [&](TWSocketClient* c) {
      c->OnDataAvailable = [&, c](TObject*, uint16_t) {
        c->ReceiveString();
        const int live = TCustomWSocket::LiveCount();
        way == 2 ? c->Release() : c->Close();
        way == 1 ? void(c->WaitForFlag(disconnected)) : c->PumpMessages();
        seen = TCustomWSocket::LiveCount() == live ? c->Name() : "destroyed";
      };
    };
    TDescriptor peer = Connect();
    test::SendAll(peer.Get(), "x");
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty() && Server->CountClients() == 0; })) << way;
    EXPECT_EQ(seen, "Client" + std::to_string(way + 1));
  }
  auto* released = new TWSocket(nullptr);  // released inside its own turn
  released->Release();
  released->PumpMessages();
}

TEST_F(ServerTest, AnEmptyBannerSendsNothing) {
  Server->Banner = "";
  OnConnect = [](TWSocketClient* c) { c->SendString("first"); };
  TDescriptor peer = Connect();
  EXPECT_EQ(ReadPeer(peer.Get(), 5), "first");
}

TEST_F(ServerTest, NamesClientsInAcceptOrderWithoutReusingNumbers) {
  TDescriptor a = Connect();
  a.Close();
  ASSERT_TRUE(PumpUntil([&] { return Server->CountClients() == 0; }));
  TDescriptor b = Connect();
  TDescriptor c = Connect();
  ASSERT_EQ(Server->CountClients(), 2);
  EXPECT_EQ(Server->ClientAt(0)->Name(), "Client2");
  EXPECT_EQ(Server->ClientAt(1)->Name(), "Client3");
  EXPECT_EQ(Server->ClientAt(-1), nullptr);
  EXPECT_EQ(Server->ClientAt(2), nullptr);

  Server->SetName("Srv");
  TDescriptor d = Connect();
  EXPECT_EQ(Server->ClientAt(2)->Name(), "SrvClient4");
  EXPECT_EQ(Server->ClientNumber(), 4);
}

TEST_F(ServerTest, RefusesConnectionsPastMaxClientsWithTheBusyBanner) {
  for (int max : {2, 0, -1}) {
    SCOPED_TRACE(max);
    Server->MaxClients = max;
    Log.clear();
    std::vector<TDescriptor> peers;
    for (int i = 0; i < 3; ++i) peers.push_back(Connect());
    EXPECT_EQ(ReadPeer(peers[0].Get(), 19), "Welcome to TcpSrv\r\n");
    EXPECT_EQ(ReadPeer(peers[1].Get(), 19), "Welcome to TcpSrv\r\n");
    if (max == 2) {
      EXPECT_EQ(ReadPeer(peers[2].Get(), 25), "Sorry, too many clients\r\n");
      EXPECT_TRUE(PumpUntil([&] { return PeerEnded(peers[2].Get()); }));
      ASSERT_TRUE(PumpUntil([&] { return Server->CountClients() == 2; }));
      int connects = 0, disconnects = 0;
      for (const auto& l : Log) {
        connects += l.rfind("connect ", 0) == 0;
        disconnects += l.rfind("disconnect ", 0) == 0;
      }
      EXPECT_EQ(connects, 3);
      EXPECT_EQ(disconnects, 1);
    } else {
      EXPECT_EQ(ReadPeer(peers[2].Get(), 19), "Welcome to TcpSrv\r\n");
      EXPECT_EQ(Server->CountClients(), 3);
    }
    peers.clear();
    ASSERT_TRUE(PumpUntil([&] { return Server->CountClients() == 0; }));
  }
}

TEST_F(ServerTest, AClientClosedInOnClientConnectGetsNoBannerAndIsReleasedLater) {
  OnConnect = [](TWSocketClient* c) { c->Close(); };
  TDescriptor peer = Connect();
  EXPECT_EQ(Server->CountClients(), 1);
  EXPECT_EQ(ReadPeer(peer.Get(), 1), "");
  ASSERT_TRUE(PumpUntil([&] { return Server->CountClients() == 0; }));
  EXPECT_EQ(Log.back(), "disconnect Client1 closed 0 listed 1");
}

TEST_F(ServerTest, ClosingAClosedClientReleasesItOnce) {
  TDescriptor peer = Connect();
  TWSocketClient* client = Server->ClientAt(0);
  client->Close();
  client->Close();
  peer.Close();
  test::PumpTurns(10);
  EXPECT_EQ(Server->CountClients(), 0);
  int closes = 0, disconnects = 0;
  for (const auto& l : Log) {
    closes += l.rfind("closed ", 0) == 0;
    disconnects += l.rfind("disconnect ", 0) == 0;
  }
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(disconnects, 1);
}

TEST_F(ServerTest, HandlerExceptionsReachTheServersOnBgException) {
  // From OnClientConnect: the client stays (connected, without banner) and the server listens on.
  OnConnect = [](TWSocketClient*) { throw std::runtime_error("connect handler failed"); };
  TDescriptor a = Connect();
  EXPECT_EQ(Log.back(), "bg connect handler failed");
  EXPECT_EQ(Server->CountClients(), 1);
  EXPECT_EQ(Server->ClientAt(0)->State(), wsConnected);
  EXPECT_EQ(Server->State(), wsListening);

  // From OnClientDisconnect: the client is destroyed all the same.
  OnConnect = nullptr;
  OnDisconnect = [](TWSocketClient*) { throw std::runtime_error("disconnect handler failed"); };
  a.Close();
  ASSERT_TRUE(PumpUntil([&] { return Server->CountClients() == 0; }));
  EXPECT_EQ(Log.back(), "bg disconnect handler failed");

  TDescriptor b = Connect();
  EXPECT_EQ(ReadPeer(b.Get(), 19), "Welcome to TcpSrv\r\n");
}

TEST_F(ServerTest, AFailedAcceptLeavesNoClientCounted) {
  OnCreate = [this](TWSocketClient*) { Server->Close(); };
  TDescriptor peer = test::ConnectTo(Port);
  ASSERT_TRUE(PumpUntil([&] { return Server->ClientNumber() == 1; }));
  EXPECT_EQ(Server->CountClients(), 0);
  EXPECT_EQ(Log.back(), "bg Error 10022 in function not a listening socket\r\nInvalid argument");
  test::PumpTurns(5);  // the discarded client goes on a later turn; the leak check sees to it
}

// A sequence that fails before the accept leaves the connection pending; the listener must hear
// of it again, or it would never accept anything more.
TEST_F(ServerTest, ACreateHandlerThatRaisesOnceDoesNotSilenceTheListener) {
  int creates = 0;
  OnCreate = [&](TWSocketClient*) {
    if (++creates == 1) throw std::runtime_error("create handler failed");
  };
  TDescriptor a = test::ConnectTo(Port);
  TDescriptor b = test::ConnectTo(Port);
  ASSERT_TRUE(PumpUntil([&] { return Server->CountClients() == 2; }));
  EXPECT_EQ(creates, 3);
  EXPECT_EQ(Log[1], "bg create handler failed");
  EXPECT_EQ(ReadPeer(a.Get(), 19), "Welcome to TcpSrv\r\n");
  EXPECT_EQ(ReadPeer(b.Get(), 19), "Welcome to TcpSrv\r\n");
}

// A client whose attach fails after the handle has been adopted.
struct TFailingClient : TWSocketClient {
  using TWSocketClient::TWSocketClient;
  void Dup(int handle) override {
    TWSocketClient::Dup(handle);
    throw ESocketException("attach failed");
  }
};

TEST_F(ServerTest, AFailedAttachLeavesNoClientCountedAndClosesTheConnection) {
  Server->SetClientClass<TFailingClient>();
  TDescriptor peer = Connect();
  EXPECT_EQ(Server->CountClients(), 0);
  EXPECT_EQ(Log, (std::vector<std::string>{"create closed", "bg attach failed"}));
  EXPECT_TRUE(PumpUntil([&] { return PeerEnded(peer.Get()); }));

  // ClientClass is read at every accept.
  Server->SetClientClass<TWSocketClient>();
  TDescriptor next = Connect();
  EXPECT_EQ(Server->CountClients(), 1);
  EXPECT_EQ(ReadPeer(next.Get(), 19), "Welcome to TcpSrv\r\n");
}

// Records its destruction.
struct TRecordingClient : TWSocketClient {
  using TWSocketClient::TWSocketClient;
  ~TRecordingClient() override {
    if (Destroyed != nullptr) Destroyed->push_back(Name());
  }
  std::vector<std::string>* Destroyed = nullptr;
};

TEST_F(ServerTest, DestroyingTheServerDestroysClientsLastToFirstSilently) {
  std::vector<std::string> destroyed;
  Server->SetClientClass<TRecordingClient>();
  OnCreate = [&](TWSocketClient* c) { static_cast<TRecordingClient*>(c)->Destroyed = &destroyed; };
  std::vector<TDescriptor> peers;
  for (int i = 0; i < 3; ++i) peers.push_back(Connect());
  // A release still queued is dropped with the server.
  Server->ClientAt(0)->Close();
  Server.reset();
  test::PumpTurns(5);
  EXPECT_EQ(destroyed, (std::vector<std::string>{"Client3", "Client2", "Client1"}));
  for (const auto& l : Log) EXPECT_NE(l.rfind("disconnect", 0), 0u) << l;
  for (auto& p : peers) EXPECT_TRUE(PumpUntil([&] { return PeerEnded(p.Get()); }));
}

TEST_F(ServerTest, ClientsLineModeWorksThroughTheServer) {
  OnCreate = [this](TWSocketClient* c) {
    c->SetLineMode(true);
    c->OnDataAvailable = [this, c](TObject*, uint16_t) { Log.push_back("line " + c->ReceiveString()); };
  };
  Server->Banner = "";
  TDescriptor peer = Connect();
  test::SendAll(peer.Get(), "a\r\nb");
  peer.Close();
  ASSERT_TRUE(PumpUntil([&] { return Server->CountClients() == 0; }));
  EXPECT_EQ(Log, (std::vector<std::string>{"create closed", "connect Client1 connected 0", "line a\r\n", "line b",
                                           "closed Client1 listed 1", "disconnect Client1 closed 0 listed 1"}));
}

// A peer that resets before its connection is accepted fails that one accept (its address can no
// longer be read); a server without an OnBgException handler drops that client and goes on.
TEST_F(ServerTest, AConnectionResetBeforeItsAcceptDropsOnlyThatClient) {
  Server->OnBgException = nullptr;
  TDescriptor early = test::ConnectTo(Port);
  ASSERT_TRUE(early.Valid());
  test::ResetAndClose(early);
  ASSERT_TRUE(PumpUntil([&] { return Server->ClientNumber() == 1; }));
  test::PumpTurns();
  EXPECT_EQ(Server->State(), wsListening);
  EXPECT_EQ(Server->CountClients(), 0);

  TDescriptor next = Connect();
  EXPECT_EQ(ReadPeer(next.Get(), 19), "Welcome to TcpSrv\r\n");
  EXPECT_EQ(Server->CountClients(), 1);
}

// The close at destruction reports the state change while the server is still whole: a handler
// may ask it for its clients.
TEST_F(ServerTest, OnChangeStateAtDestructionMayAskTheServerForItsClients) {
  TDescriptor peer = Connect();
  TWSocketServer* server = Server.get();
  std::vector<std::string> seen;
  server->OnChangeState = [&seen, server](TObject*, TSocketState, TSocketState newState) {
    if (newState == wsClosed)
      seen.push_back("closed with " + std::to_string(server->CountClients()) + " clients, first " +
                     (server->ClientAt(0) == nullptr ? "none" : "listed"));
  };
  Server.reset();
  EXPECT_EQ(seen, (std::vector<std::string>{"closed with 0 clients, first none"}));
}

}  // namespace
}  // namespace ordwin
