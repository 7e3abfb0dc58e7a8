#include "net/CustomWSocket.h"

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/WSocket.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

// One adopted connection (Conn) and the plain client at its far end (Peer). Without
// reportSends OnSendData is left unassigned, and the queue's chunks go out gathered.
struct TConnection {
  std::vector<int> SendData;
  std::vector<std::string> Log;
  bool InsideSend = false;
  TWSocket Listener{nullptr};
  std::unique_ptr<TWSocket> Conn;
  TDescriptor Peer;

  explicit TConnection(bool reportSends = true) {
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.OnSessionAvailable = [this, reportSends](TObject*, uint16_t) {
      Conn = std::make_unique<TWSocket>(nullptr);
      if (reportSends) Conn->OnSendData = [this](TObject*, int n) { SendData.push_back(n); };
      Conn->OnDataSent = [this](TObject*, uint16_t e) {
        Log.push_back((InsideSend ? "inside-send:" : "sent:") + std::to_string(e));
      };
      Conn->OnSessionClosed = [this](TObject*, uint16_t e) { Log.push_back("closed:" + std::to_string(e)); };
      Conn->Dup(Listener.Accept());
    };
    Listener.Listen();
    Peer = test::ConnectTo(std::stoi(Listener.GetBoundPort()));
    EXPECT_TRUE(test::PumpUntil([&] { return Log.size() == 1; }));  // the first write report
    Log.clear();
  }

  int Send(const std::string& data) {
    InsideSend = true;
    int r = Conn->Send(data.data(), static_cast<int>(data.size()));
    InsideSend = false;
    return r;
  }

  std::string ReadExactly(size_t n) {
    std::string got;
    test::PumpUntil([&] {
      got += test::ReadAvailable(Peer.Get());
      return got.size() >= n;
    });
    return got;
  }
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

using SendQueueTest = test::LoopTest;

TEST_F(SendQueueTest, FourThousandBytesGoOutIn1514ByteChunksAndDataSentComesOnALaterTurn) {
  TConnection c;
  std::string data = Pattern(4000);
  EXPECT_EQ(c.Send(data), 4000);
  EXPECT_EQ(c.SendData, (std::vector<int>{1514, 1514, 972}));
  EXPECT_TRUE(c.Log.empty());
  ASSERT_TRUE(test::PumpUntil([&] { return !c.Log.empty(); }));
  test::PumpTurns();
  EXPECT_EQ(c.Log, (std::vector<std::string>{"sent:0"}));
  EXPECT_EQ(c.ReadExactly(4000), data);
  EXPECT_EQ(c.Conn->SendQueueChunks(), 1u);  // the drained last chunk is kept for reuse
}

TEST_F(SendQueueTest, EachSendThatGoesOutAtOnceGivesItsOwnDataSent) {
  TConnection c;
  c.Send("one");
  c.Send("two");
  test::PumpTurns();
  EXPECT_EQ(c.Log, (std::vector<std::string>{"sent:0", "sent:0"}));
  EXPECT_EQ(c.ReadExactly(6), "onetwo");
}

TEST_F(SendQueueTest, DataSentHandlerThatSendsAgainRunsOnLaterTurns) {
  TConnection c;
  int rounds = 0;
  c.Conn->OnDataSent = [&](TObject*, uint16_t) {
    EXPECT_FALSE(c.InsideSend);
    if (++rounds < 3) c.Send("x");
  };
  c.Send("x");
  ASSERT_TRUE(test::PumpUntil([&] { return rounds == 3; }));
  EXPECT_EQ(c.ReadExactly(3), "xxx");
}

TEST_F(SendQueueTest, NewBytesFillTheRoomOfTheLastChunkFirst) {
  TConnection c;
  c.Conn->QueueData(Pattern(1414));
  EXPECT_EQ(c.Conn->SendQueueChunks(), 1u);
  c.Conn->QueueData(std::string(200, 'Z'));
  EXPECT_EQ(c.Conn->SendQueueChunks(), 2u);
  EXPECT_TRUE(test::ReadAvailable(c.Peer.Get()).empty());  // queued, not sent
  // A send with no data pushes what was queued.
  EXPECT_EQ(c.Conn->Send(nullptr, 0), 0);
  EXPECT_EQ(c.SendData, (std::vector<int>{1514, 100}));
  EXPECT_EQ(c.ReadExactly(1614), Pattern(1414) + std::string(200, 'Z'));
}

TEST_F(SendQueueTest, EmptySendsQueueNothing) {
  TConnection c;
  EXPECT_EQ(c.Conn->SendString(""), 0);
  EXPECT_TRUE(c.Conn->SendQueueEmpty());
  EXPECT_EQ(c.Conn->Send("abc", 0), 0);
  EXPECT_FALSE(c.Conn->SendQueueEmpty());
  EXPECT_EQ(c.Conn->SendQueueChunks(), 0u);
  test::PumpTurns();
  EXPECT_TRUE(c.Log.empty());
  EXPECT_TRUE(c.SendData.empty());
}

TEST_F(SendQueueTest, AnOnSendDataHandlerThatAbortsEndsTheSendWithoutTouchingFreedChunks) {
  TConnection c;
  c.Conn->OnSendData = [&](TObject*, int n) {
    c.SendData.push_back(n);
    c.Conn->Abort();
  };
  EXPECT_EQ(c.Send(Pattern(5000)), 5000);
  EXPECT_EQ(c.Conn->State(), wsClosed);
  EXPECT_EQ(c.Conn->SendQueueSize(), 0u);
  EXPECT_EQ(c.SendData, (std::vector<int>{1514}));
}

// An OnSendData handler that sends again: every byte goes out once, in order, and the count of
// queued bytes never wraps below zero.
TEST_F(SendQueueTest, AnOnSendDataHandlerThatSendsAgainSendsEveryByteOnce) {
  TConnection c;
  int extra = 0;
  c.Conn->OnSendData = [&](TObject*, int n) {
    c.SendData.push_back(n);
    EXPECT_LE(c.Conn->SendQueueSize(), 10000u);
    if (extra < 3) {
      std::string more(1, static_cast<char>('A' + extra++));
      c.Conn->SendString(more);
    }
  };
  std::string first = Pattern(3000);
  EXPECT_EQ(c.Send(first), 3000);
  std::string got = c.ReadExactly(3003);
  test::PumpTurns();
  got += test::ReadAvailable(c.Peer.Get());
  EXPECT_EQ(got.size(), 3003u);
  EXPECT_TRUE(got == first + "ABC");
  EXPECT_EQ(std::accumulate(c.SendData.begin(), c.SendData.end(), 0), 3003);
  EXPECT_EQ(c.Conn->SendQueueSize(), 0u);
}

TEST_F(SendQueueTest, SendQueueSizeCountsWhatThePlatformHasNotTaken) {
  TConnection c;
  c.Conn->QueueData(std::string(3000, 'q'));
  EXPECT_EQ(c.Conn->SendQueueSize(), 3000u);
  c.Conn->Send(nullptr, 0);
  EXPECT_EQ(c.Conn->SendQueueSize(), 0u);
  EXPECT_EQ(c.ReadExactly(3000), std::string(3000, 'q'));
}

TEST_F(SendQueueTest, SendOnAnUnconnectedSocketRaisesAndLeavesItClosed) {
  TWSocket s(nullptr);
  std::string text;
  try {
    s.SendString("x");
  } catch (const ESocketException& e) {
    text = e.Message();
  }
  EXPECT_EQ(text, "Error 10057 in function Send\r\nSocket is not connected");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.LastError(), 10057);
}

// Chunk by chunk (OnSendData assigned) or gathered, cut wherever the platform fills up.
TEST_F(SendQueueTest, PeerThatDoesNotReadHoldsTheRestUntilRoomAndNothingIsLost) {
  for (bool reportSends : {true, false}) {
    SCOPED_TRACE(reportSends ? "chunk by chunk" : "gathered");
    TConnection c(reportSends);
    const size_t total = 16u << 20;
    std::string data = Pattern(total);
    EXPECT_EQ(c.Send(data), static_cast<int>(total));
    ASSERT_LT(c.Conn->TakenBytes(), total);  // the kernel buffers filled up
    EXPECT_EQ(std::accumulate(c.SendData.begin(), c.SendData.end(), uint64_t{0}),
              reportSends ? c.Conn->TakenBytes() : 0u);
    test::PumpTurns(50);
    EXPECT_TRUE(c.Log.empty());  // nothing reports "all sent" while bytes wait
    EXPECT_FALSE(c.Conn->SendQueueEmpty());

    std::string got = c.ReadExactly(total);
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(got == data);
    ASSERT_TRUE(test::PumpUntil([&] { return !c.Log.empty(); }));
    test::PumpTurns();
    EXPECT_EQ(c.Log, (std::vector<std::string>{"sent:0"}));
    EXPECT_EQ(c.Conn->TakenBytes(), total);
  }
}

TEST_F(SendQueueTest, BytesSentAtTurnEndLeaveTogetherAtTheEndOfTheTurnWithinTheirBound) {
  TConnection c(false);
  c.Conn->UnsentBound = 5000;
  EXPECT_TRUE(c.Conn->SendAtTurnEnd("head", "-one"));
  EXPECT_TRUE(c.Conn->SendAtTurnEnd(Pattern(3000)));
  EXPECT_FALSE(c.Conn->SendFits(2000));
  EXPECT_FALSE(c.Conn->SendAtTurnEnd(Pattern(1000), Pattern(1000)));  // nothing of it is queued
  EXPECT_EQ(c.Conn->QueuedBytes(), 3008u);
  EXPECT_TRUE(test::ReadAvailable(c.Peer.Get()).empty());
  test::PumpTurns(1);
  EXPECT_EQ(c.Conn->TakenBytes(), 3008u);
  EXPECT_EQ(c.ReadExactly(3008), "head-one" + Pattern(3000));
  ASSERT_TRUE(test::PumpUntil([&] { return !c.Log.empty(); }));
  EXPECT_EQ(c.Log, (std::vector<std::string>{"sent:0"}));  // on a later turn, as after a Send

  // A close hands the platform the turn's bytes before the connection ends; then nothing fits.
  EXPECT_TRUE(c.Conn->SendAtTurnEnd("last words"));
  c.Conn->Close();
  EXPECT_FALSE(c.Conn->SendAtTurnEnd("late"));
  std::string rest;
  ASSERT_TRUE(test::PumpUntil([&] { return test::DrainPeer(c.Peer.Get(), rest); }));
  EXPECT_EQ(rest, "last words");
}

TEST_F(SendQueueTest, SendToAResetPeerClosesTheConnectionWithTheResetCodeOnce) {
  TConnection c;
  test::ResetAndClose(c.Peer);
  // Sending before the reset report is handled meets the reset in the send itself.
  for (int i = 0; i < 3 && c.Conn->State() == wsConnected; ++i) EXPECT_NO_THROW(c.Send("late"));
  EXPECT_EQ(c.Log, (std::vector<std::string>{"closed:10054"}));
  EXPECT_EQ(c.Conn->State(), wsClosed);
  test::PumpTurns();
  EXPECT_EQ(c.Log.size(), 1u);
}

TEST_F(SendQueueTest, SendingToAPeerThatClosedEndsInOneSessionClosedAndNoSignal) {
  TConnection c;
  c.Conn->OnDataAvailable = [&](TObject*, uint16_t) { c.Conn->ReceiveString(); };
  c.Peer.Close();
  // Keep sending from the loop until the connection is found gone, by a send or the close report.
  ASSERT_TRUE(test::PumpUntil([&] {
    if (c.Conn->State() == wsConnected) c.Send(std::string(100, 'q'));
    return c.Conn->State() == wsClosed;
  }));
  test::PumpTurns();
  int closed = 0;
  for (const auto& l : c.Log) closed += l.rfind("closed:", 0) == 0;
  EXPECT_EQ(closed, 1);
}

}  // namespace
}  // namespace ordwin
