#include "gg/RIDuziva.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/gg/GgTestPeer.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::Bytes;
using test::GgPacketBytes;
using test::TGgTestPeer;
using test::Le;
using test::PumpUntil;

struct TCall {
  TGgClient* Client;
  int32_t Type;
  std::string Payload;
  size_t Chunks;  // chunks read from all connections when the packet was raised
};

// A bare GG listener on an ephemeral port whose packets, chunks and closes are recorded.
class FramingTest : public test::LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    Listener = std::make_unique<TRiDuziva>(nullptr);
    Listener->OnClientConnect = [this](TObject*, TGgClient* c) {
      Clients.push_back(c);
      c->OnConnectionClosed = [this](TObject*) { Events.push_back("closed"); };
      if (OnConnect) OnConnect(c);
    };
    Listener->OnClientDataAvailable = [this](TObject* sender, TGgClient*, const std::string& data) {
      EXPECT_EQ(sender, Listener.get());
      Chunks.push_back(data);
      Events.push_back("chunk");
      if (OnChunk) OnChunk(data);
    };
    Listener->OnClientCommand = [this](TGgClient* c, int32_t type, std::string_view payload) {
      Calls.push_back(TCall{c, type, std::string(payload), Chunks.size()});
      Events.push_back("packet " + std::to_string(type));
      if (OnPacket) OnPacket(c, type);
    };
    Listener->OnClientLongPacket = [this](TGgClient*, int32_t, int32_t, const std::string& head) {
      LongHeads.push_back(head);
    };
    Listener->OnClientDisconnect = [this](TObject*, TGgClient* c) {
      Events.push_back("disconnect");
      BufferAtDisconnect = c->RecvBuffer;
    };
    Listener->SetPort(0);
    std::string error;
    Listener->Listen(error);
    ASSERT_EQ(error, "");
    Port = std::stoi(Listener->SocketServer()->GetBoundPort());
  }
  void TearDown() override {
    Listener.reset();
    LoopTest::TearDown();
  }

  TGgTestPeer Connect() {
    size_t before = Clients.size();
    TGgTestPeer peer(Port);
    EXPECT_TRUE(PumpUntil([&] { return Clients.size() > before; }));
    return peer;
  }

  // Sends data as one write and pumps until the server has read it whole.
  void SendAsOneRead(TGgTestPeer& peer, const std::string& data) {
    size_t before = ChunkBytes();
    peer.SendRaw(data);
    ASSERT_TRUE(PumpUntil([&] { return ChunkBytes() >= before + data.size(); }));
  }

  size_t ChunkBytes() const {
    size_t n = 0;
    for (const auto& c : Chunks) n += c.size();
    return n;
  }

  std::unique_ptr<TRiDuziva> Listener;
  int Port = 0;
  std::vector<TGgClient*> Clients;
  std::vector<std::string> Chunks;
  std::vector<TCall> Calls;
  std::vector<std::string> Events;
  std::vector<std::string> LongHeads;
  std::string BufferAtDisconnect = "not released";
  std::function<void(TGgClient*)> OnConnect;
  std::function<void(const std::string&)> OnChunk;
  std::function<void(TGgClient*, int32_t)> OnPacket;
};

TEST_F(FramingTest, HeaderSplitThreePlusFiveGivesOneCallAfterTheSecondRead) {
  TGgTestPeer peer = Connect();
  std::string packet = GgPacketBytes(7, "");
  SendAsOneRead(peer, packet.substr(0, 3));
  EXPECT_TRUE(Calls.empty());
  EXPECT_EQ(Clients[0]->RecvBuffer, packet.substr(0, 3));
  SendAsOneRead(peer, packet.substr(3));
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Client, Clients[0]);
  EXPECT_EQ(Calls[0].Type, 7);
  EXPECT_EQ(Calls[0].Payload, "");
  EXPECT_EQ(Calls[0].Chunks, 2u);
  EXPECT_EQ(Clients[0]->RecvBuffer, "");
}

TEST_F(FramingTest, TwentyBytesInFiveReadsOfFourGiveOneCallAfterTheFifth) {
  TGgTestPeer peer = Connect();
  std::string payload = "0123456789AB";
  std::string stream = Bytes({0x01, 0, 0, 0, 0x0C, 0, 0, 0}) + payload;
  for (size_t at = 0; at < stream.size(); at += 4) {
    EXPECT_TRUE(Calls.empty()) << "after " << at << " bytes";
    SendAsOneRead(peer, stream.substr(at, 4));
  }
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Type, 1);
  EXPECT_EQ(Calls[0].Payload, payload);
  EXPECT_EQ(Calls[0].Chunks, 5u);
}

// Three packets (one empty, one with NUL bytes) sent again and again, each time split in two
// reads at another offset: a packet is raised in the read that completes it, never earlier,
// never twice, and the stream never loses its alignment.
TEST_F(FramingTest, EverySplitOffsetDeliversEachPacketInTheReadThatCompletesIt) {
  TGgTestPeer peer = Connect();
  const std::vector<std::pair<int32_t, std::string>> packets = {
      {21, Le(12345) + "pw"}, {8, ""}, {11, std::string("a\0b\0", 4) + Bytes({0xFF, 0x80})}};
  std::string stream;
  std::vector<size_t> ends;
  for (const auto& [type, payload] : packets) {
    stream += GgPacketBytes(type, payload);
    ends.push_back(stream.size());
  }
  for (size_t split = 1; split < stream.size(); ++split) {
    size_t before = Calls.size();
    SendAsOneRead(peer, stream.substr(0, split));
    size_t complete = 0;
    for (size_t end : ends) complete += end <= split ? 1 : 0;
    ASSERT_EQ(Calls.size() - before, complete) << "split at " << split;
    SendAsOneRead(peer, stream.substr(split));
    ASSERT_EQ(Calls.size() - before, packets.size()) << "split at " << split;
    for (size_t i = 0; i < packets.size(); ++i) {
      const TCall& c = Calls[before + i];
      EXPECT_EQ(c.Type, packets[i].first) << "split at " << split;
      EXPECT_EQ(c.Payload, packets[i].second) << "split at " << split;
      EXPECT_EQ(c.Chunks, Chunks.size() - (ends[i] <= split ? 1 : 0)) << "split at " << split;
    }
    EXPECT_EQ(Clients[0]->RecvBuffer, "");
  }
}

TEST_F(FramingTest, SeveralPacketsInOneReadAreRaisedInOrderWithinThatRead) {
  TGgTestPeer peer = Connect();
  SendAsOneRead(peer, GgPacketBytes(2, "abc") + GgPacketBytes(8, "") + GgPacketBytes(99, "xy"));
  EXPECT_EQ(Events, (std::vector<std::string>{"chunk", "packet 2", "packet 8", "packet 99"}));
  ASSERT_EQ(Calls.size(), 3u);
  EXPECT_EQ(Calls[0].Payload, "abc");
  EXPECT_EQ(Calls[1].Payload, "");
  EXPECT_EQ(Calls[2].Payload, "xy");
  EXPECT_EQ(Chunks.size(), 1u);
}

TEST_F(FramingTest, ATrailingPartialPacketWaitsInTheBufferForItsRest) {
  TGgTestPeer peer = Connect();
  std::string next = GgPacketBytes(3, "hello");
  SendAsOneRead(peer, GgPacketBytes(2, "one") + next.substr(0, 5));
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Payload, "one");
  EXPECT_EQ(Clients[0]->RecvBuffer, next.substr(0, 5));
  SendAsOneRead(peer, next.substr(5, 6));
  EXPECT_EQ(Calls.size(), 1u);
  SendAsOneRead(peer, next.substr(11));
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_EQ(Calls[1].Type, 3);
  EXPECT_EQ(Calls[1].Payload, "hello");
  EXPECT_EQ(Clients[0]->RecvBuffer, "");
  // What waits keeps no more room than it needs, however large the chunk that brought it.
  std::string many = next.substr(5);
  while (many.size() < (1 << 20)) many += GgPacketBytes(8, std::string(1000, 'p'));
  SendAsOneRead(peer, next.substr(0, 5));
  SendAsOneRead(peer, many + "abc");
  EXPECT_EQ(Clients[0]->RecvBuffer, "abc");
  EXPECT_LT(Clients[0]->RecvBuffer.capacity(), 65536u);
}

TEST_F(FramingTest, TwoConnectionsKeepTheirOwnBuffers) {
  TGgTestPeer a = Connect();
  TGgTestPeer b = Connect();
  std::string pa = GgPacketBytes(2, "from a");
  std::string pb = GgPacketBytes(2, "from b");
  SendAsOneRead(a, pa.substr(0, 10));
  SendAsOneRead(b, pb.substr(0, 4));
  SendAsOneRead(b, pb.substr(4));
  SendAsOneRead(a, pa.substr(10));
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_EQ(Calls[0].Client, Clients[1]);
  EXPECT_EQ(Calls[0].Payload, "from b");
  EXPECT_EQ(Calls[1].Client, Clients[0]);
  EXPECT_EQ(Calls[1].Payload, "from a");
}

TEST_F(FramingTest, WithoutACommandHandlerPacketsAreSkippedAndTheStreamStaysAligned) {
  TGgTestPeer peer = Connect();
  auto handler = Listener->OnClientCommand;
  Listener->OnClientCommand = nullptr;
  SendAsOneRead(peer, GgPacketBytes(2, "skipped") + GgPacketBytes(8, "").substr(0, 3));
  EXPECT_EQ(Clients[0]->RecvBuffer, GgPacketBytes(8, "").substr(0, 3));
  Listener->OnClientCommand = handler;
  SendAsOneRead(peer, GgPacketBytes(8, "").substr(3) + GgPacketBytes(20, "z"));
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_EQ(Calls[0].Type, 8);
  EXPECT_EQ(Calls[1].Type, 20);
  EXPECT_EQ(Calls[1].Payload, "z");
}

TEST_F(FramingTest, WithReportRawDataClearedPacketsStillCome) {
  OnConnect = [](TGgClient* c) { c->ReportRawData = false; };
  TGgTestPeer peer = Connect();
  peer.SendRaw(GgPacketBytes(8, "") + GgPacketBytes(20, "x"));
  ASSERT_TRUE(PumpUntil([&] { return Calls.size() == 2; }));
  EXPECT_EQ(Events, (std::vector<std::string>{"packet 8", "packet 20"}));
}

TEST_F(FramingTest, ANewConnectionStartsWithEmptySessionFields) {
  std::vector<std::string> seen;
  OnConnect = [&](TGgClient* c) {
    seen.push_back(std::to_string(c->Uin()) + " " + std::to_string(c->Status) + " [" + c->RecvBuffer + "][" +
                   c->NotifyReply + "][" + c->UserList + "]");
  };
  {
    TGgTestPeer first = Connect();
    first.SendRaw(GgPacketBytes(21, Le(5)).substr(0, 6));
    ASSERT_TRUE(PumpUntil([&] { return Clients[0]->RecvBuffer.size() == 6; }));
    first.Close();
    ASSERT_TRUE(PumpUntil([&] { return Listener->SocketServer()->CountClients() == 0; }));
  }
  EXPECT_EQ(BufferAtDisconnect, GgPacketBytes(21, Le(5)).substr(0, 6));
  TGgTestPeer second = Connect();
  SendAsOneRead(second, GgPacketBytes(8, ""));
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Type, 8);
  EXPECT_EQ(seen, (std::vector<std::string>{"0 0 [][][]", "0 0 [][][]"}));
}

// The packet whose handler raised stays in front and comes again, first, with the next read.
TEST_F(FramingTest, APacketWhoseHandlerRaisedIsDeliveredAgainWithTheNextRead) {
  bool raised = false;
  OnPacket = [&](TGgClient*, int32_t type) {
    if (type == 9 && !raised) {
      raised = true;
      throw std::runtime_error("handler failed");
    }
  };
  TGgTestPeer peer = Connect();
  SendAsOneRead(peer, GgPacketBytes(2, "before") + GgPacketBytes(9, "again") + GgPacketBytes(10, "b"));
  EXPECT_EQ(Events, (std::vector<std::string>{"chunk", "packet 2", "packet 9"}));
  EXPECT_EQ(Clients[0]->RecvBuffer, GgPacketBytes(9, "again") + GgPacketBytes(10, "b"));
  EXPECT_EQ(Clients[0]->State(), wsConnected);
  SendAsOneRead(peer, GgPacketBytes(11, "c"));
  EXPECT_EQ(Events,
            (std::vector<std::string>{"chunk", "packet 2", "packet 9", "chunk", "packet 9", "packet 10", "packet 11"}));
  EXPECT_EQ(Calls[2].Payload, "again");
  EXPECT_EQ(Clients[0]->RecvBuffer, "");
}

TEST_F(FramingTest, AChunkWhoseRawHandlerRaisedIsDropped) {
  OnChunk = [&](const std::string&) {
    if (Chunks.size() == 1) throw std::runtime_error("raw handler failed");
  };
  TGgTestPeer peer = Connect();
  SendAsOneRead(peer, GgPacketBytes(2, "lost"));
  EXPECT_TRUE(Calls.empty());
  EXPECT_EQ(Clients[0]->RecvBuffer, "");
  SendAsOneRead(peer, GgPacketBytes(8, ""));
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Type, 8);
}

TEST_F(FramingTest, PacketsBehindOneWhoseHandlerClosedTheClientAreStillDelivered) {
  OnPacket = [](TGgClient* c, int32_t type) {
    if (type == 2) c->Close();
  };
  TGgTestPeer peer = Connect();
  SendAsOneRead(peer, GgPacketBytes(2, "bye") + GgPacketBytes(8, "") + GgPacketBytes(11, "m"));
  EXPECT_EQ(Events, (std::vector<std::string>{"chunk", "packet 2", "closed", "packet 8", "packet 11"}));
  EXPECT_TRUE(peer.WaitEnded());
  ASSERT_TRUE(PumpUntil([&] { return Listener->SocketServer()->CountClients() == 0; }));
  EXPECT_EQ(Calls.size(), 3u);
}

TEST_F(FramingTest, PacketsArrivingWithThePeersCloseComeBeforeTheClose) {
  TGgTestPeer peer = Connect();
  peer.SendRaw(GgPacketBytes(21, Le(1)) + GgPacketBytes(8, ""));
  peer.Close();
  ASSERT_TRUE(PumpUntil([&] { return Listener->SocketServer()->CountClients() == 0; }));
  ASSERT_GE(Events.size(), 4u);
  std::vector<std::string> tail(Events.end() - 4, Events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"packet 21", "packet 8", "closed", "disconnect"}));
}

TEST_F(FramingTest, APacketOfTheLargestLengthIsDeliveredWhole) {
  TGgTestPeer peer = Connect();
  Clients[0]->LoggedIn = true;  // before it, nothing past a login's length is held
  std::string payload(TRiDuziva::kMaxPacketLength, 'p');
  payload[0] = '\0';
  peer.SendRaw(GgPacketBytes(11, payload));
  ASSERT_TRUE(PumpUntil([&] { return Calls.size() == 1; }));
  EXPECT_EQ(Calls[0].Payload, payload);
  EXPECT_EQ(Clients[0]->RecvBuffer, "");
  EXPECT_EQ(Clients[0]->State(), wsConnected);
}

// A length that is negative or past the largest packet ends the connection at once: what came
// before it is delivered, nothing after it, and the listener goes on serving others.
TEST_F(FramingTest, ABadLengthClosesOnlyThatConnection) {
  for (int32_t length : {-1, INT32_MIN, -8, TRiDuziva::kMaxPacketBeforeLogin + 1, TRiDuziva::kMaxPacketLength + 1,
                         2147483640, INT32_MAX}) {
    SCOPED_TRACE(length);
    Calls.clear();
    Events.clear();
    BufferAtDisconnect = "not released";
    TGgTestPeer bad = Connect();
    TGgTestPeer good = Connect();
    bad.SendRaw(GgPacketBytes(2, "ok") + Le(8) + Le(length) + GgPacketBytes(8, ""));
    EXPECT_TRUE(bad.WaitEnded());
    ASSERT_TRUE(PumpUntil([&] { return BufferAtDisconnect != "not released"; }));
    EXPECT_EQ(BufferAtDisconnect, "");
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Type, 2);
    EXPECT_EQ(Calls[0].Payload, "ok");

    good.SendRaw(GgPacketBytes(20, "still here"));
    ASSERT_TRUE(PumpUntil([&] { return Calls.size() == 2; }));
    EXPECT_EQ(Calls[1].Payload, "still here");
    good.Close();
    ASSERT_TRUE(PumpUntil([&] { return Listener->SocketServer()->CountClients() == 0; }));
    Clients.clear();
  }
}

// The header alone is enough to refuse the packet: nothing waits for payload bytes to come.
TEST_F(FramingTest, ABadLengthIsRefusedWithoutWaitingForItsPayload) {
  TGgTestPeer peer = Connect();
  peer.SendRaw(Le(22) + Le(TRiDuziva::kMaxPacketLength + 1) + std::string(100, 'x'));
  EXPECT_TRUE(peer.WaitEnded());
  EXPECT_TRUE(Calls.empty());
  EXPECT_EQ(LongHeads, std::vector<std::string>{""});
}

// A message too long to hold is read and dropped as it comes, whatever its pieces, and raised
// once with its first bytes; the packets behind it come as ever, and the connection stays.
TEST_F(FramingTest, AMessagePastTheBoundIsDroppedAsItComesAndTheConnectionStays) {
  // Type, length and bytes per write.
  for (auto [type, length, piece] : {std::tuple<int32_t, int32_t, size_t>{11, 65537, 1 << 20},
                                     {0x2d, 65537, 1000},
                                     {0x7d, 3 << 20, 65536},
                                     {11, 70000, 7}}) {
    Calls.clear();
    LongHeads.clear();
    TGgTestPeer peer = Connect();
    std::string payload(static_cast<size_t>(length), 'm');
    for (size_t i = 0; i < payload.size(); i += 251) payload[i] = static_cast<char>(i / 251);
    const std::string stream = Le(type) + Le(length) + payload + GgPacketBytes(20, "b");
    size_t held = 0;
    for (size_t at = 0; at < stream.size(); at += piece) {
      SendAsOneRead(peer, stream.substr(at, piece));
      held = std::max(held, Clients.back()->RecvBuffer.size());
    }
    EXPECT_EQ(LongHeads, std::vector<std::string>{payload.substr(0, TRiDuziva::kLongMessageHead)}) << type;
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Payload, "b");
    EXPECT_LE(held, kPacketHeader);
    EXPECT_EQ(Clients.back()->State(), wsConnected);
  }
}

}  // namespace
}  // namespace ordwin
