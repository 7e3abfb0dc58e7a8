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
inline std::string L(const std::string& utf8) { return Utf8ToCp1250(utf8); }

// A 6.0 status notification (type 15): number, code, nine zero bytes, what follows.
inline std::string Status60(int32_t uin, int code, const std::string& tail = "") {
  return Le(uin) + std::string(1, static_cast<char>(code)) + std::string(9, '\0') + tail;
}

class GgSessionTest : public LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    Session = std::make_unique<TGgSession>([this](std::string_view line, size_t) { Log.emplace_back(line); });
    Session->RIDuziva().SetPort(0);
    // Runs before the session sees a chunk: lets a test change the world between two packets.
    auto sessionHandler = Session->RIDuziva().OnClientDataAvailable;
    Session->RIDuziva().OnClientDataAvailable = [this, sessionHandler](TObject* sender, TGgClient* client,
                                                                       const std::string& data) {
      if (BeforeChunk) BeforeChunk(client);
      sessionHandler(sender, client, data);
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
  TGgTestPeer Connect() {
    TGgTestPeer peer(Port);
    TGgPacket welcome = peer.Next();
    EXPECT_EQ(welcome.Type, 1);
    return peer;
  }

  // Logs the peer in with uin and takes the answer.
  void Login(TGgTestPeer& peer, int32_t uin) {
    peer.Send(21, Le(uin));
    EXPECT_EQ(peer.Next().Type, 3);
  }

  // Connects and logs in.
  TGgTestPeer Connected(int32_t uin) {
    TGgTestPeer peer = Connect();
    Login(peer, uin);
    return peer;
  }

  // Pumps until the session has written count lines in all.
  bool WaitLog(size_t count) {
    return PumpUntil([&] { return Log.size() >= count; });
  }

  // The client object of the index-th accepted connection still listed.
  TGgClient* Client(int index) const {
    return dynamic_cast<TGgClient*>(Session->RIDuziva().SocketServer()->ClientAt(index));
  }

  std::vector<std::string> Log;
  std::unique_ptr<TGgSession> Session;
  int Port = 0;
  std::function<void(TGgClient*)> BeforeChunk;
};

}  // namespace ordwin::test
