#include "gg/GgClient.h"

#include <memory>
#include <string>
#include <vector>

#include <poll.h>

#include <gtest/gtest.h>

#include "gg/RIDuziva.h"
#include "tests/gg/GgTestPeer.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::TGgTestPeer;
using test::PumpUntil;

class GgClientTest : public test::LoopTest {};

TEST_F(GgClientTest, TheOwnerMustBeAListeningServer) {
  TComponent owner(nullptr);
  try {
    TGgClient client(&owner);
    ADD_FAILURE() << "made with an owner that is no server";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Invalid class typecast");
  }
  EXPECT_EQ(owner.ComponentCount(), 0);

  TGgClient loose(nullptr);
  EXPECT_EQ(loose.Server, nullptr);
  EXPECT_TRUE(loose.ReportRawData);
  EXPECT_FALSE(loose.ShutdownWhenSent);
  EXPECT_NE(loose.ComponentOptions & wsoNoReceiveLoop, 0u);
  ASSERT_NE(loose.AuxSocket, nullptr);
  EXPECT_EQ(loose.AuxSocket->Owner(), &loose);
  EXPECT_EQ(loose.AuxSocket->State(), wsClosed);
}

// A connection of a bare GG listener, with the far end.
class GgClientConnectionTest : public GgClientTest {
protected:
  void SetUp() override {
    GgClientTest::SetUp();
    Listener = std::make_unique<TRiDuziva>(nullptr);
    Listener->OnClientConnect = [this](TObject*, TGgClient* c) { Client = c; };
    Listener->SetPort(0);
    std::string error;
    Listener->Listen(error);
    ASSERT_EQ(error, "");
    Peer = std::make_unique<TGgTestPeer>(std::stoi(Listener->SocketServer()->GetBoundPort()));
    ASSERT_TRUE(PumpUntil([&] { return Client != nullptr; }));
    Client->OnConnectionClosed = [this](TObject* sender) {
      EXPECT_EQ(sender, Client);
      ++ConnectionClosed;
    };
  }
  void TearDown() override {
    Peer.reset();
    Listener.reset();
    GgClientTest::TearDown();
  }

  std::unique_ptr<TRiDuziva> Listener;
  std::unique_ptr<TGgTestPeer> Peer;
  TGgClient* Client = nullptr;
  int ConnectionClosed = 0;
};

TEST_F(GgClientConnectionTest, PendingOutputGoesOutOnTheDataSentEvent) {
  Client->PendingOutput = "later";
  Client->SendString("now ");
  EXPECT_EQ(Client->PendingOutput, "later");
  std::string got;
  ASSERT_TRUE(PumpUntil([&] { return (got += test::ReadAvailable(Peer->Fd())).size() >= 9; }));
  EXPECT_EQ(got, "now later");
  EXPECT_EQ(Client->PendingOutput, "");
  EXPECT_EQ(Client->FlushPendingOutput(), 0);
}

TEST_F(GgClientConnectionTest, AnOrderlyCloseRaisesOnConnectionClosedOnce) {
  Peer->Close();
  ASSERT_TRUE(PumpUntil([&] { return Listener->SocketServer()->CountClients() == 0; }));
  EXPECT_EQ(ConnectionClosed, 1);
}

// A send that finds the connection lost closes it with the error: the client stops listening
// for data-sent reports and tells of the close once.
TEST_F(GgClientConnectionTest, ALostConnectionFoundBySendingClosesWithoutDataSentReports) {
  int sent = 0;
  Client->OnDataSent = [&](TObject*, uint16_t) { ++sent; };
  Peer->Reset();
  // Without turning the loop: the client must find the loss by sending, not by a report.
  pollfd p{Client->HSocket(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  ASSERT_NE(p.revents & (POLLERR | POLLHUP), 0);
  Client->SendString("into the void");
  EXPECT_EQ(Client->State(), wsClosed);
  EXPECT_FALSE(Client->OnDataSent);
  EXPECT_EQ(ConnectionClosed, 1);
  ASSERT_TRUE(PumpUntil([&] { return Listener->SocketServer()->CountClients() == 0; }));
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(ConnectionClosed, 1);
}

}  // namespace
}  // namespace ordwin
