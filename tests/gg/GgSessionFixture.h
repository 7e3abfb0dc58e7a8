// The fixture of the session tests: a TGgSession listening on an ephemeral port, its log lines
// collected, and GG peers that connect to it over loopback.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gg/Cp1250.h"
#include "gg/GgSession.h"
#include "tests/gg/GgTestPeer.h"
#include "tests/net/TestLoop.h"

namespace ordwin::test {

// A log line as the session writes it: Windows-1250 bytes.
inline std::string L(const std::string& Utf8) { return Utf8ToCp1250(Utf8); }

class GgSessionTest : public LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    Session = std::make_unique<TGgSession>([this](std::string_view Line) { Log.emplace_back(Line); });
    Session->RIDuziva().SetPort(0);
    // Runs before the session sees a chunk: lets a test change the world between two packets.
    auto sessionHandler = Session->RIDuziva().OnClientDataAvailable;
    Session->RIDuziva().OnClientDataAvailable = [this, sessionHandler](TObject* Sender, TGgClient* Client,
                                                                       const std::string& Data) {
      if (BeforeChunk) BeforeChunk(Client);
      sessionHandler(Sender, Client, Data);
    };
    Session->Start();
    ASSERT_TRUE(Session->RIDuziva().Active());
    Port = std::stoi(Session->RIDuziva().SocketServer()->GetBoundPort());
  }
  void TearDown() override {
    Session.reset();
    LoopTest::TearDown();
  }

  // A peer whose connection has been accepted and whose welcome packet has been taken.
  GgTestPeer Connect() {
    GgTestPeer peer(Port);
    GgPacket welcome = peer.Next();
    EXPECT_EQ(welcome.Type, 1);
    return peer;
  }

  // Logs the peer in with Uin and takes the answer.
  void Login(GgTestPeer& Peer, int32_t Uin) {
    Peer.Send(21, Le(Uin));
    EXPECT_EQ(Peer.Next().Type, 3);
  }

  // Connects and logs in.
  GgTestPeer Connected(int32_t Uin) {
    GgTestPeer peer = Connect();
    Login(peer, Uin);
    return peer;
  }

  // Pumps until the session has written Count lines in all.
  bool WaitLog(size_t Count) {
    return PumpUntil([&] { return Log.size() >= Count; });
  }

  // The client object of the Index-th accepted connection still listed.
  TGgClient* Client(int Index) const {
    return dynamic_cast<TGgClient*>(Session->RIDuziva().SocketServer()->ClientAt(Index));
  }

  std::vector<std::string> Log;
  std::unique_ptr<TGgSession> Session;
  int Port = 0;
  std::function<void(TGgClient*)> BeforeChunk;
};

}  // namespace ordwin::test
