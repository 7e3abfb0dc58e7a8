#include "net/LineWSocket.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/WSocket.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::PumpUntil;
using test::ReadAvailable;
using test::SendAll;

// One loopback connection: a plain blocking peer and the adopted TWSocket under test, whose
// handler records each read as one entry of Reads (with the RcvdCount seen before reading).
class LineModeTest : public test::LoopTest {
protected:
  void SetUp() override {
    LoopTest::SetUp();
    TDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(::listen(listener.Get(), 1), 0);
    socklen_t len = sizeof(a);
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    Peer = test::ConnectTo(ntohs(a.sin_port));
    ASSERT_TRUE(Peer.Valid());
    int fd = ::accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    ASSERT_GE(fd, 0);
    Sock = std::make_unique<TWSocket>(nullptr);
    Sock->SetLineMode(true);
    Sock->OnDataAvailable = [this](TObject*, uint16_t) {
      int count = Sock->RcvdCount();
      if (Read) return Read(count);
      Reads.push_back(Sock->ReceiveString());
      Counts.push_back(count);
    };
    Sock->OnSessionClosed = [this](TObject*, uint16_t) { Reads.push_back("<closed>"); };
    Sock->Dup(fd);
    test::PumpTurns(3);
  }
  void TearDown() override {
    Sock.reset();
    Peer.Close();
    LoopTest::TearDown();
  }

  void Send(const std::string& data) { SendAll(Peer.Get(), data); }
  bool WaitReads(size_t n) {
    return PumpUntil([&] { return Reads.size() >= n; });
  }
  bool WaitBuffered(int n) {
    return PumpUntil([&] { return Sock->LineBufferCount() == n; });
  }

  TDescriptor Peer;
  std::unique_ptr<TWSocket> Sock;
  std::vector<std::string> Reads;
  std::vector<int> Counts;
  std::function<void(int rcvdCount)> Read;  // replaces the default handler body when set
};

TEST_F(LineModeTest, DeliversEachLineOfOneReadWithItsLineEnd) {
  Send("GET / HTTP/1.0\r\nHost: a\r\n\r\n");
  ASSERT_TRUE(WaitReads(3));
  test::PumpTurns(3);
  EXPECT_EQ(Reads, (std::vector<std::string>{"GET / HTTP/1.0\r\n", "Host: a\r\n", "\r\n"}));
  EXPECT_EQ(Counts, (std::vector<int>{16, 9, 2}));
  EXPECT_EQ(Sock->LineBufferCount(), 0);

  // A single LF as line end keeps the CR of a CR LF line as the byte before it.
  Sock->SetLineEnd("\n");
  Reads.clear();
  Send("Host: b\r\nX");
  ASSERT_TRUE(WaitBuffered(1));
  EXPECT_EQ(Reads, (std::vector<std::string>{"Host: b\r\n"}));
  EXPECT_EQ(Sock->RcvdCount(), 0);  // bytes held, but no whole line
}

TEST_F(LineModeTest, FindsALineEndSplitAcrossReads) {
  Send("abc\r");
  ASSERT_TRUE(WaitBuffered(4));
  EXPECT_TRUE(Reads.empty());
  EXPECT_EQ(Sock->RcvdCount(), 0);
  Send("\n");
  ASSERT_TRUE(WaitReads(1));
  EXPECT_EQ(Reads[0], "abc\r\n");
  EXPECT_EQ(Sock->LineBufferCount(), 0);
}

TEST_F(LineModeTest, AHandlerThatReadsPartOfALineIsCalledAgainForTheRest) {
  std::vector<std::string> parts;
  Read = [&](int count) {
    Counts.push_back(count);
    char buf[4];
    int n = Sock->Receive(buf, sizeof(buf));
    parts.emplace_back(buf, static_cast<size_t>(std::max(n, 0)));
  };
  Send("abcdefgh\r\nxy\r\n");
  ASSERT_TRUE(PumpUntil([&] { return parts.size() >= 4; }));
  test::PumpTurns(3);
  EXPECT_EQ(parts, (std::vector<std::string>{"abcd", "efgh", "\r\n", "xy\r\n"}));
  EXPECT_EQ(Counts, (std::vector<int>{10, 6, 2, 4}));
}

TEST_F(LineModeTest, DropsWhatPassesLineLimitAndKeepsWhatDoesNot) {
  std::vector<int> exceeded;
  bool keep = false;
  Sock->OnLineLimitExceeded = [&](TObject*, int length, bool& clear) {
    exceeded.push_back(length);
    if (keep) clear = false;
  };

  // Exactly LineLimit bytes without a line end are kept and end up in one line.
  Send(std::string(65536, 'a'));
  ASSERT_TRUE(WaitBuffered(65536));
  Send("\r\n");
  ASSERT_TRUE(WaitReads(1));
  EXPECT_EQ(Reads[0], std::string(65536, 'a') + "\r\n");
  EXPECT_TRUE(exceeded.empty());

  // One byte more and everything held is dropped; collection starts afresh.
  Send(std::string(65537, 'b'));
  ASSERT_TRUE(PumpUntil([&] { return !exceeded.empty(); }));
  EXPECT_EQ(exceeded.back(), 65537);
  EXPECT_EQ(Sock->LineBufferCount(), 0);
  Send("xy\r\n");
  ASSERT_TRUE(WaitReads(2));
  EXPECT_EQ(Reads[1], "xy\r\n");

  // A handler that clears ClearData keeps the bytes.
  keep = true;
  Send(std::string(65537, 'c'));
  ASSERT_TRUE(PumpUntil([&] { return exceeded.size() == 2; }));
  EXPECT_EQ(Sock->LineBufferCount(), 65537);
  Send("\r\n");
  ASSERT_TRUE(WaitReads(3));
  EXPECT_EQ(Reads[2], std::string(65537, 'c') + "\r\n");
}

TEST_F(LineModeTest, AFloodedEndlessLineCostsAtMostTheLimitAndOneRead) {
  int largest = 0;
  int drops = 0;
  Sock->OnLineLimitExceeded = [&](TObject*, int, bool&) {
    ++drops;
    largest = std::max(largest, Sock->LineBufferSize());
  };
  const std::string chunk(1 << 16, 'z');
  const size_t total = size_t{8} << 20;
  size_t sent = 0;
  ASSERT_TRUE(PumpUntil(
      [&] {
        while (sent < total) {
          ssize_t n =
              ::send(Peer.Get(), chunk.data(), std::min(chunk.size(), total - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<size_t>(n);
        }
        largest = std::max(largest, Sock->LineBufferSize());
        return sent >= total;
      },
      20));
  // The connection still works: the next line end ends whatever was kept.
  Send("\r\nok\r\n");
  ASSERT_TRUE(PumpUntil([&] {
    largest = std::max(largest, Sock->LineBufferSize());
    return !Reads.empty() && Reads.back() == "ok\r\n";
  }));
  EXPECT_GE(drops, 60);
  EXPECT_LE(largest, Sock->LineLimit + TCustomLineWSocket::kMaxLineRead);
}

TEST_F(LineModeTest, TheUnterminatedTailComesBeforeSessionClosed) {
  Send("one\r\nabc");
  ASSERT_TRUE(WaitBuffered(3));
  Peer.Close();
  ASSERT_TRUE(WaitReads(3));
  EXPECT_EQ(Reads, (std::vector<std::string>{"one\r\n", "abc", "<closed>"}));
  EXPECT_EQ(Counts.back(), 3);
  EXPECT_EQ(Sock->LineBufferSize(), 0);
  EXPECT_EQ(Sock->State(), wsClosed);
}

TEST_F(LineModeTest, AFailingTailHandlerStillLetsSessionClosedFire) {
  Read = [&](int) { throw std::runtime_error("handler failed"); };
  Send("abc");
  ASSERT_TRUE(WaitBuffered(3));
  Peer.Close();
  ASSERT_TRUE(WaitReads(1));
  EXPECT_EQ(Reads, (std::vector<std::string>{"<closed>"}));
  EXPECT_EQ(Sock->LineBufferSize(), 0);
}

TEST_F(LineModeTest, LinesBufferedWhenAHandlerFailedComeOneByOneLater) {
  bool fail = true;
  Read = [&](int) {
    if (fail) {
      fail = false;
      throw std::runtime_error("handler failed");
    }
    Reads.push_back(Sock->ReceiveString());
  };
  Send("one\r\nmid\r\n");
  ASSERT_TRUE(PumpUntil([&] { return !fail && Sock->LineBufferCount() == 10; }));
  EXPECT_TRUE(Reads.empty());
  Send("two\r\n");
  ASSERT_TRUE(WaitReads(3));
  EXPECT_EQ(Reads, (std::vector<std::string>{"one\r\n", "mid\r\n", "two\r\n"}));
}

TEST_F(LineModeTest, SwitchingOffMidLineOffersTheRestRawAndInOrder) {
  const size_t baseline = TEventLoop::Instance().PendingPosts();
  Sock->SetLineMode(true);  // the current value: nothing is posted
  EXPECT_EQ(TEventLoop::Instance().PendingPosts(), baseline);

  std::string raw;
  Read = [&](int count) {
    if (Sock->LineMode()) {
      char two[2];
      Sock->Receive(two, 2);
      Reads.emplace_back(two, 2);
      Sock->SetLineMode(false);
      return;
    }
    Counts.push_back(count);
    raw += Sock->ReceiveString();
  };
  Send("one\r\ntwo\r\nthree");
  ASSERT_TRUE(PumpUntil([&] { return raw.size() >= 13; }));
  EXPECT_EQ(Reads, (std::vector<std::string>{"on"}));
  EXPECT_EQ(raw, "e\r\ntwo\r\nthree");
  EXPECT_EQ(Counts.front(), 13);  // RcvdCount offers every byte held
  EXPECT_EQ(Sock->LineBufferCount(), 0);

  // New bytes after the held ones come raw too.
  Send("more");
  ASSERT_TRUE(PumpUntil([&] { return raw.size() >= 17; }));
  EXPECT_EQ(raw, "e\r\ntwo\r\nthreemore");
}

TEST_F(LineModeTest, SwitchingOnWithBytesHeldSearchesThemWithoutSpinning) {
  int rawCalls = 0;
  Read = [&](int) {
    if (!Sock->LineMode()) {
      ++rawCalls;
      Sock->SetLineMode(true);  // reads nothing: what is held comes back as lines
      return;
    }
    Reads.push_back(Sock->ReceiveString());
    if (Reads.size() == 1) Sock->SetLineMode(false);
  };
  Send("a\r\nb\r\nc\r\nd");
  ASSERT_TRUE(WaitReads(3));
  test::PumpTurns(5);
  EXPECT_EQ(Reads, (std::vector<std::string>{"a\r\n", "b\r\n", "c\r\n"}));
  EXPECT_EQ(rawCalls, 1);
  EXPECT_TRUE(Sock->LineMode());
  EXPECT_EQ(Sock->LineBufferCount(), 1);  // "d" waits for its line end
  EXPECT_EQ(TEventLoop::Instance().PendingPosts(), 0u);
  Send("\r\n");
  ASSERT_TRUE(WaitReads(4));
  EXPECT_EQ(Reads[3], "d\r\n");
}

TEST_F(LineModeTest, EditsBackspacesAndTabsAndEchoesWhatIsKept) {
  Sock->LineEdit = true;
  Sock->LineEcho = true;
  auto echoed = [&](size_t n) {
    std::string got;
    EXPECT_TRUE(PumpUntil([&] {
      got += ReadAvailable(Peer.Get());
      return got.size() >= n;
    }));
    return got;
  };

  Send("ab\bc\r\n");
  ASSERT_TRUE(WaitReads(1));
  EXPECT_EQ(Reads[0], "ac\r\n");
  EXPECT_EQ(echoed(8), "ab\b \bc\r\n");

  // A backspace erases bytes of an earlier read; one at the start of the buffer does nothing.
  Send("\bxyz");
  ASSERT_TRUE(WaitBuffered(3));
  EXPECT_EQ(echoed(3), "xyz");
  Send("\b\bQ\r\n");
  ASSERT_TRUE(WaitReads(2));
  EXPECT_EQ(Reads[1], "xQ\r\n");
  EXPECT_EQ(echoed(9), "\b \b\b \bQ\r\n");

  // A tab fills to the next multiple of 8, with at least one space.
  Send("ab\tc\t12345678\tZ\r\n");
  ASSERT_TRUE(WaitReads(3));
  EXPECT_EQ(Reads[2],
            "ab" + std::string(6, ' ') + "c" + std::string(7, ' ') + "12345678" + std::string(8, ' ') + "Z\r\n");
  EXPECT_EQ(echoed(Reads[2].size()), Reads[2]);

  // Without LineEdit a backspace is data; LineEcho sends back the bytes as read.
  Sock->LineEdit = false;
  Send("p\bq\r\n");
  ASSERT_TRUE(WaitReads(4));
  EXPECT_EQ(Reads[3], "p\bq\r\n");
  EXPECT_EQ(echoed(5), "p\bq\r\n");
}

// The echo of edited bytes may find the connection lost (the peer reset): the read ends
// there, with the one close report, and nothing reads the line buffer that the close freed.
TEST_F(LineModeTest, AnEchoThatFindsTheConnectionLostEndsTheReadCleanly) {
  Sock->LineEdit = true;
  Sock->LineEcho = true;
  Sock->Pause();
  Send("ab\tc\r\nmore\r\n");
  test::ResetAndClose(Peer);
  test::PumpTurns(3);
  Sock->Resume();
  ASSERT_TRUE(PumpUntil([&] { return !Reads.empty() && Reads.back() == "<closed>"; }));
  test::PumpTurns();
  EXPECT_EQ(std::count(Reads.begin(), Reads.end(), "<closed>"), 1);
  EXPECT_EQ(Sock->State(), wsClosed);
}

TEST_F(LineModeTest, AHandlerThatClosesMidwayEndsTheDeliveryCleanly) {
  Read = [&](int) {
    std::string line = Sock->ReceiveString();
    Reads.push_back(line);
    if (line == "quit\r\n") Sock->Close();
  };
  Send("one\r\nquit\r\ntwo\r\nrest");
  ASSERT_TRUE(PumpUntil([&] { return Sock->State() == wsClosed; }));
  test::PumpTurns(3);
  // Closing offers what is still held before OnSessionClosed; nothing is offered twice.
  EXPECT_EQ(Reads, (std::vector<std::string>{"one\r\n", "quit\r\n", "two\r\n", "rest", "<closed>"}));
  EXPECT_EQ(Sock->LineBufferSize(), 0);
}

TEST_F(LineModeTest, BytesHeldFromLineModeAreOfferedRawWhenTheOwnerCloses) {
  Read = [&](int) {
    Reads.push_back(Sock->ReceiveString());
    if (Reads.size() == 1) {
      Sock->SetLineMode(false);
      Sock->Close();
    }
  };
  Send("one\r\ntwo\r\nthree");
  ASSERT_TRUE(WaitReads(3));
  EXPECT_EQ(Reads, (std::vector<std::string>{"one\r\n", "two\r\nthree", "<closed>"}));
}

}  // namespace
}  // namespace ordwin
