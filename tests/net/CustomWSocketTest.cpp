#include "net/CustomWSocket.h"

#include <memory>
#include <string>
#include <vector>

#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "net/SelectEvents.h"
#include "net/WSocket.h"
#include "net/WinsockErrors.h"
#include "tests/net/SocketLog.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::StateName;

// A TWSocket whose own endpoint the tests may post to.
struct TTestSocket : TWSocket {
  using TWSocket::TWSocket;
  using TWSocket::Post;
};

// A listener on 127.0.0.1 with an ephemeral port that adopts each connection into a TWSocket
// and writes every event of that connection into Log.
struct TFixture {
  std::vector<std::string> Log;  // first, so that it outlives the sockets' last events
  TWSocket Listener{nullptr};
  std::unique_ptr<TTestSocket> Conn;
  int Port = 0;
  bool ReadInHandler = true;
  std::function<void(TWSocket&)> Prepare;

  TFixture() {
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.OnSessionAvailable = [this](TObject*, uint16_t) {
      Conn = std::make_unique<TTestSocket>(nullptr);
      Wire(*Conn);
      if (Prepare) Prepare(*Conn);
      Conn->Dup(Listener.Accept());
    };
    Listener.Listen();
    Port = std::stoi(Listener.GetBoundPort());
  }

  void Wire(TWSocket& s) {
    s.OnChangeState = [this](TObject*, TSocketState o, TSocketState n) {
      Log.push_back(std::string("state:") + StateName(o) + "->" + StateName(n));
    };
    s.OnDataSent = [this](TObject*, uint16_t e) { Log.push_back("sent:" + std::to_string(e)); };
    s.OnDataAvailable = [this, &s](TObject*, uint16_t e) {
      std::string got = ReadInHandler ? s.ReceiveString() : std::string();
      Log.push_back("data:" + std::to_string(e) + ":" + got);
    };
    s.OnSessionClosed = [this](TObject*, uint16_t e) { Log.push_back("closed:" + std::to_string(e)); };
  }

  bool Has(const std::string& entry) const { return std::find(Log.begin(), Log.end(), entry) != Log.end(); }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : Log) n += l.rfind(prefix, 0) == 0;
    return n;
  }

  // Connects a plain client and pumps until the adopted connection reported its first write.
  TDescriptor Connect() {
    TDescriptor c = test::ConnectTo(Port);
    EXPECT_TRUE(c.Valid());
    EXPECT_TRUE(test::PumpUntil([&] { return Has("sent:0"); }));
    return c;
  }
};

using CustomWSocketTest = test::LoopTest;

std::string ErrorText(int code, const std::string& fn, const std::string& text) {
  return "Error " + std::to_string(code) + " in function " + fn + "\r\n" + text;
}

using test::ThrownText;

TEST_F(CustomWSocketTest, ListenReportsMissingSettingsAndResolutionFailuresWithExactTexts) {
  TWSocket s(nullptr);
  EXPECT_EQ(ThrownText([&] { s.Listen(); }), ErrorText(10022, "listen: port not assigned", "Invalid argument"));
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.LastError(), 10022);

  s.SetPort("1");
  s.SetProto("");
  EXPECT_EQ(ThrownText([&] { s.Listen(); }), ErrorText(10022, "listen: protocol not assigned", "Invalid argument"));
  s.SetProto("tcp");
  EXPECT_EQ(ThrownText([&] { s.Listen(); }), ErrorText(10022, "listen: address not assigned", "Invalid argument"));

  // A name that can never resolve, found so without asking this machine's DNS.
  const std::string badName("1.2.3.256\0invalid", 17);
  s.SetAddr(badName);
  s.SetPort("0");
  EXPECT_EQ(ThrownText([&] { s.Listen(); }),
            "listen: WSocketResolveHost: Cannot convert host address '" + badName + "', Error #11001");
  s.SetAddr("127.0.0.1");
  s.SetPort("no-such-service");
  EXPECT_EQ(ThrownText([&] { s.Listen(); }),
            "listen: WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004");
  s.SetPort("0");
  s.SetProto("no-such-proto");
  EXPECT_EQ(ThrownText([&] { s.Listen(); }),
            "listen: WSocketResolveProto: Cannot convert protocol 'no-such-proto', Error #11004");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(TEventLoop::Instance().WatchedDescriptors(), 0);
}

TEST_F(CustomWSocketTest, ListenStatesAndSettingsGuardsAndResetAfterClose) {
  TWSocket s(nullptr);
  std::vector<std::string> states;
  s.OnChangeState = [&](TObject*, TSocketState o, TSocketState n) {
    states.push_back(std::string(StateName(o)) + "->" + StateName(n));
  };
  s.SetAddr(" 127.0.0.1 ");
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  s.SetPort("0");
  s.Listen();
  EXPECT_EQ(states, (std::vector<std::string>{"closed->bound", "bound->listening"}));
  EXPECT_EQ(s.State(), wsListening);
  EXPECT_EQ(s.GetBoundAddr(), "127.0.0.1");
  EXPECT_NE(s.GetBoundPort(), "0");
  EXPECT_EQ(s.PeerAddr(), "error");
  EXPECT_EQ(s.PeerPort(), "error");

  s.SetPort("0");  // the text it holds: nothing happens
  EXPECT_EQ(ThrownText([&] { s.SetPort("81"); }), "Cannot change Port if not closed");
  EXPECT_EQ(ThrownText([&] { s.SetAddr("0.0.0.0"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(ThrownText([&] { s.SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(ThrownText([&] { s.SetLocalAddr("1.2.3.4"); }), "Cannot change LocalAddr if not closed");
  EXPECT_EQ(ThrownText([&] { s.SetLocalPort("5"); }), "Cannot change LocalPort if not closed");

  s.Close();
  EXPECT_EQ(states.back(), "listening->closed");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.GetBoundPort(), "error");
  // After a close both must be assigned again; the texts stay readable.
  EXPECT_EQ(s.Port(), "0");
  EXPECT_EQ(ThrownText([&] { s.Listen(); }), ErrorText(10022, "listen: port not assigned", "Invalid argument"));
  EXPECT_EQ(s.Proto(), "tcp");
  EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
  size_t before = states.size();
  s.Close();  // closing a closed object does nothing
  EXPECT_EQ(states.size(), before);

  EXPECT_EQ(ThrownText([&] { s.SetLocalAddr("10.1.2"); }), "SetLocalAddr(): Invalid IP address");
  s.SetLocalAddr(" 010.1.2.3 ");
  EXPECT_EQ(s.LocalAddr(), "8.1.2.3");
  s.SetLocalAddr("");
  EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(ThrownText([&] { s.SetSendFlags(7); }), "Invalid SendFlags");
}

TEST_F(CustomWSocketTest, PortInUseGivesBindErrorAndLeavesTheSocketClosed) {
  TWSocket a(nullptr), b(nullptr);
  a.SetAddr("127.0.0.1");
  a.SetPort("0");
  a.Listen();
  b.SetAddr("127.0.0.1");
  b.SetPort(a.GetBoundPort());
  EXPECT_EQ(ThrownText([&] { b.Listen(); }), ErrorText(10048, "Bind", "Address already in use"));
  EXPECT_EQ(b.State(), wsClosed);
  EXPECT_EQ(b.HSocket(), INVALID_SOCKET);
  EXPECT_EQ(b.LastError(), 10048);
}

TEST_F(CustomWSocketTest, AcceptedConnectionEventOrderWhenThePeerCloses) {
  TFixture f;
  TDescriptor c = f.Connect();
  EXPECT_EQ(f.Conn->State(), wsConnected);
  EXPECT_EQ(f.Conn->PeerAddr(), "127.0.0.1");
  test::SendAll(c.Get(), "hello");
  ASSERT_TRUE(test::PumpUntil([&] { return f.Has("data:0:hello"); }));
  EXPECT_EQ(f.Conn->ReadCount(), 5);
  c.Close();
  ASSERT_TRUE(test::PumpUntil([&] { return f.Has("closed:0"); }));
  // The close report offers the handler one more read (empty here) before the session closes.
  EXPECT_EQ(f.Log, (std::vector<std::string>{"state:closed->connected", "sent:0", "data:0:hello", "data:0:", "closed:0",
                                             "state:connected->closed"}));
  EXPECT_EQ(f.Conn->State(), wsClosed);
  EXPECT_EQ(f.Conn->PeerAddr(), "error");
  test::PumpTurns();
  EXPECT_EQ(f.Count("closed:"), 1);
}

TEST_F(CustomWSocketTest, BytesLeftAtThePeersCloseAreOfferedBeforeSessionClosedEvenWithoutReceiveLoop) {
  TFixture f;
  f.Prepare = [](TWSocket& s) { s.ComponentOptions = wsoNoReceiveLoop; };
  TDescriptor c = f.Connect();
  // Pause so that data and the end of stream arrive together on the next report.
  f.Conn->Pause();
  test::SendAll(c.Get(), "tail");
  c.Close();
  test::PumpTurns();
  EXPECT_EQ(f.Count("data:"), 0);
  f.Conn->Resume();
  ASSERT_TRUE(test::PumpUntil([&] { return f.Has("closed:0"); }));
  auto data = std::find(f.Log.begin(), f.Log.end(), "data:0:tail");
  auto closed = std::find(f.Log.begin(), f.Log.end(), "closed:0");
  ASSERT_NE(data, f.Log.end());
  EXPECT_LT(data, closed);
  EXPECT_EQ(f.Log.back(), "state:connected->closed");
  EXPECT_EQ(f.Conn->Port(), "");
}

TEST_F(CustomWSocketTest, ProgramCloseFiresChangeStateThenSessionClosedOnce) {
  TFixture f;
  TDescriptor c = f.Connect();
  f.Log.clear();
  f.Conn->Close();
  f.Conn->Close();
  EXPECT_EQ(f.Log, (std::vector<std::string>{"state:connected->closed", "closed:0"}));
  test::PumpTurns();
  EXPECT_EQ(f.Log.size(), 2u);
  // The peer sees the end of the stream or a reset (linger on, 0 seconds), never data.
  char b;
  EXPECT_LE(::recv(c.Get(), &b, 1, 0), 0);
}

// Shut down and closed by the loop at the peer's close or the timeout; the peer reads it all.
TEST_F(CustomWSocketTest, CloseWithALingerTimeLeavesTheConnectionToTheLoop) {
  for (bool peerCloses : {true, false}) {
    TFixture f;
    f.Prepare = [&](TWSocket& s) { s.LingerTimeout = peerCloses ? 60 : 1; };
    TDescriptor c = f.Connect();
    const int watched = TEventLoop::Instance().WatchedDescriptors();
    f.Conn->SendString("bye");
    f.Conn->Close();
    EXPECT_EQ(TEventLoop::Instance().WatchedDescriptors(), watched) << peerCloses;
    std::string got;
    ASSERT_TRUE(test::PumpUntil([&] { return test::DrainPeer(c.Get(), got); }));
    EXPECT_EQ(got, "bye");
    if (peerCloses) c.Close();
    ASSERT_TRUE(test::PumpUntil([&] { return TEventLoop::Instance().WatchedDescriptors() == watched - 1; }));
  }
}

TEST_F(CustomWSocketTest, PeerResetIsReportedOnceWithItsCode) {
  TFixture f;
  TDescriptor c = f.Connect();
  test::ResetAndClose(c);
  ASSERT_TRUE(test::PumpUntil([&] { return f.Count("closed:") > 0; }));
  EXPECT_TRUE(f.Has("closed:10054"));
  test::PumpTurns();
  EXPECT_EQ(f.Count("closed:"), 1);
  EXPECT_EQ(f.Conn->State(), wsClosed);
}

// The TCP options a server sets on its connections read back as set; a live peer acknowledges,
// one that closed does not; a socket without a handle answers with a code.
TEST_F(CustomWSocketTest, TcpOptionsReadBackAndAClosedPeerStopsAcknowledging) {
  TFixture f;
  TDescriptor peer = f.Connect();
  TWSocket& s = *f.Conn;
  EXPECT_EQ(s.SetNoDelay(true) + s.SetKeepAlive(60, 10, 3) + s.SetUserTimeout(60000), 0);
  const int expected[][3] = {{IPPROTO_TCP, TCP_NODELAY, 1},   {SOL_SOCKET, SO_KEEPALIVE, 1},
                             {IPPROTO_TCP, TCP_KEEPIDLE, 60}, {IPPROTO_TCP, TCP_KEEPINTVL, 10},
                             {IPPROTO_TCP, TCP_KEEPCNT, 3},   {IPPROTO_TCP, TCP_USER_TIMEOUT, 60000}};
  for (const auto& [level, name, value] : expected) {
    int got = -1;
    socklen_t length = sizeof(got);
    ::getsockopt(s.HSocket(), level, name, &got, &length);
    EXPECT_EQ(got, value) << name;
  }
  EXPECT_FALSE(s.PeerStoppedAcknowledging());
  peer.Close();
  EXPECT_TRUE(test::PumpUntil([&] { return s.PeerStoppedAcknowledging(); }));
  TWSocket unopened(nullptr);
  EXPECT_EQ(unopened.SetKeepAlive(60, 10, 3), WSAENOTSOCK);
  EXPECT_FALSE(unopened.PeerStoppedAcknowledging());
}

TEST_F(CustomWSocketTest, ExceptionInDataHandlerIsSwallowedAndTheNextReadCallsItAgain) {
  TFixture f;
  int calls = 0;
  bool bg = false;
  f.Prepare = [&](TWSocket& s) {
    s.OnDataAvailable = [&](TObject*, uint16_t) {
      ++calls;
      std::string got = s.ReceiveString();
      if (got == "boom") throw Exception("handler failed");
      f.Log.push_back("data:" + got);
    };
    s.OnBgException = [&](TObject*, const Exception&, bool&) { bg = true; };
  };
  TDescriptor c = f.Connect();
  test::SendAll(c.Get(), "boom");
  ASSERT_TRUE(test::PumpUntil([&] { return calls == 1; }));
  test::PumpTurns();
  EXPECT_EQ(f.Conn->State(), wsConnected);
  test::SendAll(c.Get(), "next");
  ASSERT_TRUE(test::PumpUntil([&] { return f.Has("data:next"); }));
  EXPECT_FALSE(bg);
}

TEST_F(CustomWSocketTest, ExceptionInSessionClosedReachesBgExceptionAndAbortsTheObject) {
  TFixture f;
  std::string bgText;
  bool canCloseSeen = false;
  int closedCalls = 0;
  f.Prepare = [&](TWSocket& s) {
    s.OnSessionClosed = [&](TObject*, uint16_t) {
      ++closedCalls;
      throw Exception("closed handler failed");
    };
    s.OnBgException = [&](TObject*, const Exception& e, bool& canClose) {
      bgText = e.Message();
      canCloseSeen = canClose;
    };
  };
  TDescriptor c = f.Connect();
  c.Close();
  ASSERT_TRUE(test::PumpUntil([&] { return !bgText.empty(); }));
  EXPECT_EQ(bgText, "closed handler failed");
  EXPECT_TRUE(canCloseSeen);
  EXPECT_EQ(f.Conn->State(), wsClosed);
  EXPECT_EQ(closedCalls, 1);
}

TEST_F(CustomWSocketTest, BgExceptionHandlerThatClearsCanCloseKeepsTheConnection) {
  TFixture f;
  std::string bgText;
  f.Prepare = [&](TWSocket& s) {
    s.OnBgException = [&](TObject*, const Exception& e, bool& canClose) {
      bgText = e.Message();
      canClose = false;
    };
  };
  TDescriptor c = f.Connect();
  f.Conn->Post(WM_TRIGGER_EXCEPTION, 0, 0);  // the diagnostics notification raises on purpose
  ASSERT_TRUE(test::PumpUntil([&] { return !bgText.empty(); }));
  EXPECT_EQ(bgText, "Test exception in WSocket");
  EXPECT_EQ(f.Conn->State(), wsConnected);
}

TEST_F(CustomWSocketTest, DestroyingAConnectedObjectDropsWhatWasPostedAndFiresNoSessionClosed) {
  TFixture f;
  TDescriptor c = f.Connect();
  f.Log.clear();
  f.Conn->SendString("bye");
  f.Conn->CloseDelayed();
  f.Conn->Release();
  f.Conn.reset();
  EXPECT_EQ(f.Log, (std::vector<std::string>{"state:connected->closed"}));
  test::PumpTurns();
  EXPECT_EQ(f.Log.size(), 1u);
}

TEST_F(CustomWSocketTest, ReleaseDestroysTheObjectOnALaterTurnAndCloseDelayedClosesIt) {
  TFixture f;
  TDescriptor c = f.Connect();
  f.Log.clear();
  f.Conn->CloseDelayed();
  EXPECT_EQ(f.Conn->State(), wsConnected);
  ASSERT_TRUE(test::PumpUntil([&] { return f.Has("closed:0"); }));
  EXPECT_EQ(f.Log, (std::vector<std::string>{"state:connected->closed", "closed:0"}));

  int live = TCustomWSocket::LiveCount();
  TTestSocket* owned = f.Conn.release();
  owned->Release();
  EXPECT_EQ(TCustomWSocket::LiveCount(), live);
  ASSERT_TRUE(test::PumpUntil([&] { return TCustomWSocket::LiveCount() == live - 1; }));
}

TEST_F(CustomWSocketTest, OwnerDestroysOwnedSocketsAndLiveCountFollows) {
  int live = TCustomWSocket::LiveCount();
  {
    TComponent owner(nullptr);
    new TWSocket(&owner);
    new TWSocket(&owner);
    EXPECT_EQ(owner.ComponentCount(), 2);
    EXPECT_EQ(TCustomWSocket::LiveCount(), live + 2);
  }
  EXPECT_EQ(TCustomWSocket::LiveCount(), live);
}

TEST_F(CustomWSocketTest, PauseSilencesTheConnectionAndResumeDeliversWhatArrived) {
  TFixture f;
  TDescriptor c = f.Connect();
  f.Conn->Pause();
  EXPECT_TRUE(f.Conn->Paused());
  test::SendAll(c.Get(), "held");
  test::PumpTurns();
  EXPECT_EQ(f.Count("data:"), 0);
  f.Conn->Resume();
  ASSERT_TRUE(test::PumpUntil([&] { return f.Has("data:0:held"); }));
}

TEST_F(CustomWSocketTest, ReadingWithoutAHandlerDiscardsTheBytes) {
  TFixture f;
  f.Prepare = [](TWSocket& s) { s.OnDataAvailable = nullptr; };
  TDescriptor c = f.Connect();
  test::SendAll(c.Get(), std::string(5000, 'x'));
  ASSERT_TRUE(test::PumpUntil([&] {
    int n = 0;
    return f.Conn->RcvdCount() == 0 && ::ioctl(f.Conn->HSocket(), FIONREAD, &n) == 0 && n == 0;
  }));
  EXPECT_EQ(f.Conn->State(), wsConnected);
}

TEST_F(CustomWSocketTest, DatagramListenerConnectsAtOnceAndReceivesFrom) {
  TWSocket s(nullptr);
  std::vector<std::string> log;
  s.OnChangeState = [&](TObject*, TSocketState o, TSocketState n) {
    log.push_back(std::string(StateName(o)) + "->" + StateName(n));
  };
  s.OnSessionConnected = [&](TObject*, uint16_t e) { log.push_back("connected:" + std::to_string(e)); };
  std::string got, from;
  s.OnDataAvailable = [&](TObject*, uint16_t) {
    char buf[100];
    sockaddr_in src{};
    int len = sizeof(src);
    int n = s.ReceiveFrom(buf, sizeof(buf), src, len);
    if (n > 0) got.assign(buf, static_cast<size_t>(n));
    from = inet_ntoa(src.sin_addr);
  };
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  s.SetProto("udp");
  s.Listen();
  EXPECT_EQ(log,
            (std::vector<std::string>{"closed->bound", "bound->listening", "listening->connected", "connected:0"}));
  int port = std::stoi(s.GetBoundPort());
  TDescriptor u(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::sendto(u.Get(), "dgram", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 5);
  ASSERT_TRUE(test::PumpUntil([&] { return got == "dgram"; }));
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(s.ReadCount(), 5);
  s.Close();
}

// Out of descriptors, a listener tries once and then waits until one of the loop's descriptors
// is given up, instead of failing on every turn.
TEST_F(CustomWSocketTest, AListenerOutOfDescriptorsWaitsForOneToBeGivenUp) {
#ifdef ORDWIN_SANITIZED_BUILD
  GTEST_SKIP() << "the sanitizers' own checks need free descriptors";
#endif
  TFixture f;
  int failures = 0;
  // Nothing here may need a descriptor (a sanitizer's checks do): the text is checked later.
  f.Listener.OnBgException = [&](TObject*, const Exception&, bool& canClose) {
    ++failures;
    canClose = false;
  };
  TDescriptor first = f.Connect();
  auto firstConn = std::move(f.Conn);
  TDescriptor second(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));

  // Fill every free descriptor below a lowered limit, so that the next accept has none.
  test::TDescriptorsUsedUp usedUp(second.Get());

  ASSERT_TRUE(test::ConnectSocket(second.Get(), f.Port));
  ASSERT_TRUE(test::PumpUntil([&] { return failures > 0; }));
  test::PumpTurns(50);
  int failuresWhileFull = failures;

  // Giving up an adopted connection frees a descriptor: the waiting connection is taken.
  firstConn->Close();
  ASSERT_TRUE(test::PumpUntil([&] { return f.Conn != nullptr && f.Conn->State() == wsConnected; }));
  usedUp.GiveBack();
  EXPECT_EQ(failuresWhileFull, 1);
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(f.Listener.LastError(), 10024);  // "Too many open files"
}

TEST_F(CustomWSocketTest, AcceptAndDupRefuseWhatTheyCannotTake) {
  TWSocket s(nullptr);
  EXPECT_EQ(ThrownText([&] { s.Accept(); }), ErrorText(10022, "not a listening socket", "Invalid argument"));
  EXPECT_EQ(ThrownText([&] { s.Dup(INVALID_SOCKET); }), ErrorText(10022, "Dup", "Invalid argument"));
  EXPECT_EQ(ThrownText([&] { s.RcvdCount(); }), ErrorText(10038, "ioctlSocket", "Socket operation on non-socket"));
}

TEST_F(CustomWSocketTest, HandlerThatClosesOnTheLastBytesOfAClosedPeerHearsOneSessionClosed) {
  TFixture f;
  f.Prepare = [&](TWSocket& s) {
    s.OnDataAvailable = [&](TObject*, uint16_t) {
      f.Log.push_back("data:" + s.ReceiveString());
      s.Close();
    };
  };
  TDescriptor c = f.Connect();
  f.Conn->Pause();
  test::SendAll(c.Get(), "last");
  c.Close();
  test::PumpTurns();
  f.Conn->Resume();  // data and the end of the stream in one report
  ASSERT_TRUE(test::PumpUntil([&] { return f.Count("closed:") > 0; }));
  test::PumpTurns();
  EXPECT_EQ(f.Count("closed:"), 1);
  EXPECT_TRUE(f.Has("data:last"));
}

// One close, one report: neither a goodbye sent from OnSessionClosed to a peer that reset, nor a
// send inside the close report's last read that finds the connection lost, reports it again.
TEST_F(CustomWSocketTest, AConnectionLostDuringItsCloseReportIsReportedOnce) {
  for (bool sendInRead : {false, true}) {
    SCOPED_TRACE(sendInRead ? "send in the last read" : "send in OnSessionClosed");
    TFixture f;
    f.Prepare = [&](TWSocket& s) {
      s.OnDataAvailable = [&](TObject*, uint16_t) {
        f.Log.push_back("data:" + s.ReceiveString());
        if (!sendInRead) return;
        s.SendString(std::string(100000, 'x'));
        s.Close();
      };
      s.OnSessionClosed = [&](TObject*, uint16_t e) {
        f.Log.push_back("closed:" + std::to_string(e));
        if (!sendInRead && s.State() == wsConnected) s.SendString("goodbye");
      };
    };
    TDescriptor c = f.Connect();
    f.Conn->Pause();
    test::SendAll(c.Get(), "last");
    test::ResetAndClose(c);
    test::PumpTurns();
    f.Conn->Resume();
    ASSERT_TRUE(test::PumpUntil([&] { return f.Count("closed:") > 0; }));
    test::PumpTurns();
    EXPECT_EQ(f.Count("closed:"), 1);
    EXPECT_EQ(f.Conn->State(), wsClosed);
  }
}

// Listening again on an object that still holds a listening handle gives the old one up to the
// loop as well; the new handle, often with the same number, hears its connections.
TEST_F(CustomWSocketTest, ListeningAgainOnAListeningObjectStillHearsConnections) {
  TFixture f;
  f.Listener.Listen();
  int port = std::stoi(f.Listener.GetBoundPort());
  TDescriptor c = test::ConnectTo(port);
  ASSERT_TRUE(c.Valid());
  EXPECT_TRUE(test::PumpUntil([&] { return f.Has("sent:0"); }, 2.0));
  EXPECT_EQ(f.Listener.State(), wsListening);
}

// A listener starved of descriptors hears its waiting connection again once descriptors are
// free, also when they were given up by something other than a socket object.
TEST_F(CustomWSocketTest, AStarvedListenerAcceptsOnceDescriptorsAreFreedAnywhere) {
#ifdef ORDWIN_SANITIZED_BUILD
  GTEST_SKIP() << "the sanitizers' own checks need free descriptors";
#endif
  TFixture f;
  f.Listener.OnBgException = [](TObject*, const Exception&, bool& canClose) { canClose = false; };
  TDescriptor waiting(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  test::TDescriptorsUsedUp usedUp(waiting.Get());
  ASSERT_TRUE(test::ConnectSocket(waiting.Get(), f.Port));
  ASSERT_TRUE(test::PumpUntil([&] { return f.Listener.LastError() == 10024; }));
  usedUp.GiveBack();  // not through any socket object
  EXPECT_TRUE(test::PumpUntil([&] { return f.Conn != nullptr && f.Conn->State() == wsConnected; }));
}

}  // namespace
}  // namespace ordwin
