#include "net/SocksWSocket.h"

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include "net/WSocket.h"
#include "tests/net/SocketLog.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::TEventLog;
using TLogLines = std::vector<std::string>;
using SocksTest = test::LoopTest;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// A proxy played by the test, byte for byte, on a plain listening socket; the loop runs while
// it waits.
class TScriptedProxy {
public:
  TScriptedProxy() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    ::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(listener_.Get(), 4);
    ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = std::to_string(ntohs(a.sin_port));
  }
  const std::string& Port() const { return port_; }

  // Points s at this proxy and at the destination addr:port, and connects.
  void Connect(TWSocket& s, const std::string& level, const std::string& addr = "target.example",
               const std::string& port = "8074") {
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(port_);
    s.SetSocksLevel(level);
    s.SetAddr(addr);
    s.SetPort(port);
    s.Connect();
    EXPECT_TRUE(test::PumpUntil([&] {
      conn_ = TDescriptor(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      return conn_.Valid();
    }));
  }
  // The next n bytes the client sent.
  std::string Read(size_t n) {
    std::string got;
    EXPECT_TRUE(test::PumpUntil([&] {
      got += test::ReadAvailable(conn_.Get());
      return got.size() >= n;
    })) << "got "
        << got.size() << " of " << n;
    return got;
  }
  void Send(const std::string& bytes) { test::SendAll(conn_.Get(), bytes); }
  // One byte per segment, each taken by the client's kernel and read by the client before the
  // next is sent.
  void SendBytewise(const std::string& bytes, const TWSocket& client) {
    for (char c : bytes) {
      Send(std::string(1, c));
      EXPECT_TRUE(test::PumpUntil([&] {
        int unacked = 0, unread = 0;
        ::ioctl(conn_.Get(), SIOCOUTQ, &unacked);
        return client.HSocket() == INVALID_SOCKET ||
               (unacked == 0 && ::ioctl(client.HSocket(), FIONREAD, &unread) == 0 && unread == 0);
      }));
    }
  }
  void Close() { conn_.Close(); }
  void Reset() { test::ResetAndClose(conn_); }

private:
  TDescriptor listener_;
  TDescriptor conn_;
  std::string port_;
};

TEST_F(SocksTest, SettingsGuardsAndTheResetThatSendsTheNextConnectDirect) {
  TScriptedProxy proxy;
  test::TLoopbackServer server;
  TEventLog log;  // before the socket, whose last events it takes
  TWSocket s(nullptr);
  EXPECT_EQ(s.SocksLevel(), "5");
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
  EXPECT_EQ(test::ThrownText([&] { s.SetSocksLevel("6"); }), "Invalid socks level. Must be 4, 4A or 5.");
  EXPECT_EQ(s.SocksLevel(), "4A");
  s.SetSocksServer(" 127.0.0.1 ");
  EXPECT_EQ(s.SocksServer(), "127.0.0.1");
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  EXPECT_EQ(test::ThrownText([&] { s.Listen(); }), "Listening is not supported thru socks server");
  s.SetProto("UDP");
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }), "tcp is the only protocol supported thru socks server");
  s.SetProto("TCP");
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");  // no SocksPort
  s.SetSocksLevel("5");
  s.SetSocksPort("1080");
  s.SetAddr(std::string(256, 'a'));
  EXPECT_EQ(test::ThrownText([&] { s.Connect(); }),
            "connect: WSocketResolveHost: '" + std::string(256, 'a') + "' Invalid Hostname.");
  EXPECT_EQ(s.State(), wsClosed);

  // Connected through the proxy, nothing of the proxy may change; the close forgets it.
  log.Wire(s);
  proxy.Connect(s, "4");
  EXPECT_EQ(test::ThrownText([&] { s.SetSocksServer("x"); }), "Can't change socks server if not closed");
  EXPECT_EQ(test::ThrownText([&] { s.SetSocksPort("1"); }), "Can't change socks port if not closed");
  EXPECT_EQ(test::ThrownText([&] { s.SetSocksLevel("5"); }), "Can't change socks level if not closed");
  s.SetSocksUsercode("kept");
  s.Close();
  EXPECT_EQ(s.SocksServer(), "");
  EXPECT_EQ(s.SocksPort(), "");
  EXPECT_EQ(s.SocksLevel(), "5");
  EXPECT_EQ(s.SocksUsercode(), "kept");

  s.SetAddr("127.0.0.1");
  s.SetPort(server.Port());
  log.Lines.clear();
  s.Connect();
  ASSERT_TRUE(test::PumpUntil([&] { return log.Has("connected:0"); }));
  EXPECT_TRUE(log.Only({"socks-"}).empty());
  EXPECT_EQ(s.PeerPort(), server.Port());
}

TEST_F(SocksTest, Level5GrantNamingA255ByteHostHandsTheBytesBehindItToLineModeFirst) {
  TScriptedProxy proxy;
  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  s.SetLineMode(true);
  proxy.Connect(s, "5", "target.example", "8074");
  EXPECT_EQ(proxy.Read(3), B({5, 1, 0}));
  proxy.Send(B({5, 0}));
  EXPECT_EQ(proxy.Read(21), B({5, 1, 0, 3, 14}) + "target.example" + B({0x1F, 0x8A}));
  EXPECT_TRUE(log.Only({"connected:"}).empty());
  const std::string name(255, 'n');
  proxy.Send(B({5, 0, 0, 3, 255}) + name + B({0x1F, 0x8A}) + "first\r\nsec");
  ASSERT_TRUE(test::PumpUntil([&] { return log.Has("data:first\r\n"); }));
  proxy.Send("ond\r\n");
  ASSERT_TRUE(test::PumpUntil([&] { return log.Has("data:second\r\n"); }));
  EXPECT_EQ(log.Only({"socks-", "connected", "data", "auth"}),
            (TLogLines{"socks-connected:0", "connected:0", "data:first\r\n", "data:second\r\n"}));
  EXPECT_EQ(s.SocksPhase(), spData);
}

TEST_F(SocksTest, AGrantFollowedByManyLinesAndTheProxysCloseLosesNoLine) {
  TScriptedProxy proxy;
  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  s.SetLineMode(true);
  proxy.Connect(s, "5");
  proxy.Read(3);
  proxy.Send(B({5, 0}));
  proxy.Read(21);
  std::string lines;
  for (int i = 0; i < 300; ++i) lines += "line " + std::to_string(i) + "\r\n";
  // The grant, more lines than the negotiation reads at once, and the end: all in one go.
  proxy.Send(B({5, 0, 0, 1, 1, 2, 3, 4, 0, 80}) + lines);
  proxy.Close();
  ASSERT_TRUE(test::PumpUntil([&] { return !log.Only({"closed:"}).empty(); }));
  EXPECT_EQ(log.Received, lines);
  EXPECT_EQ(log.Only({"data:"}).size(), 300u);
}

TEST_F(SocksTest, Level5UserAndPasswordAndLevel4And4ARequests) {
  TScriptedProxy proxy;
  TEventLog log;
  auto s = std::make_unique<TWSocket>(nullptr);
  log.Wire(*s);
  s->SocksAuthentication = socksAuthenticateUsercode;
  s->SetSocksUsercode("user");
  s->SetSocksPassword("secret");
  proxy.Connect(*s, "5", "127.0.0.1", "80");
  EXPECT_EQ(proxy.Read(3), B({5, 1, 2}));
  proxy.Send(B({5, 2}));
  EXPECT_EQ(proxy.Read(13), B({1, 4}) + "user" + B({6}) + "secret");
  proxy.Send(B({1, 0}));
  EXPECT_EQ(proxy.Read(16), B({5, 1, 0, 3, 9}) + "127.0.0.1" + B({0, 80}));
  proxy.Send(B({5, 0, 0, 1, 10, 0, 0, 1, 0, 80}) + "hi");
  ASSERT_TRUE(test::PumpUntil([&] { return log.Has("data:hi"); }));
  EXPECT_EQ(s->ReadCount(), 2);  // the proxy's own bytes are not the owner's
  EXPECT_EQ(log.Only({"auth:", "connected:"}),
            (TLogLines{"auth:" + std::to_string(sasStart), "auth:" + std::to_string(sasSuccess), "connected:0"}));

  // Asked for, not needed.
  log.Lines.clear();
  s = std::make_unique<TWSocket>(nullptr);
  log.Wire(*s);
  s->SocksAuthentication = socksAuthenticateUsercode;
  proxy.Connect(*s, "5");
  proxy.Read(3);
  proxy.Send(B({5, 0}));
  proxy.Read(21);
  EXPECT_EQ(log.Only({"auth:"}), TLogLines{"auth:" + std::to_string(sasNotRequired)});

  // Level 4 resolves the address itself; 4A sends the name after the user id.
  for (const std::string level : {"4", "4A"}) {
    log.Lines.clear();
    s = std::make_unique<TWSocket>(nullptr);
    log.Wire(*s);
    s->SetSocksUsercode("uid");
    proxy.Connect(*s, level, level == "4" ? "127.0.0.1" : "host.example", "8074");
    if (level == "4")
      EXPECT_EQ(proxy.Read(12), B({4, 1, 0x1F, 0x8A, 127, 0, 0, 1}) + "uid" + B({0}));
    else
      EXPECT_EQ(proxy.Read(25), B({4, 1, 0x1F, 0x8A, 0, 0, 0, 1}) + "uid" + B({0}) + "host.example" + B({0}));
    proxy.Send(B({0, 90, 0, 0, 0, 0, 0, 0}) + "data");
    ASSERT_TRUE(test::PumpUntil([&] { return log.Has("data:data"); })) << level;
    EXPECT_EQ(log.Only({"socks-", "connected:"}), (TLogLines{"socks-connected:0", "connected:0"}));
  }
}

// Every way a negotiation fails ends in OnSocksError, OnSessionConnected and OnSessionClosed
// with the same code.
TEST_F(SocksTest, EveryErrorReplyEndsInSocksErrorSessionConnectedAndSessionClosed) {
  struct TCase {
    std::string Level;
    std::vector<std::string> Script;  // what the proxy sends, one after each client message
    int Code;
    std::string Text;
    std::string Last = "";  // "close" or "reset" after the script
  };
  const std::string grant5 = B({5, 0, 0, 1, 0, 0, 0, 0, 0, 0});
  std::vector<TCase> cases = {
      {"5", {B({5, 255})}, 20003, "authentification method not acceptable"},
      {"5", {B({4, 0})}, 20002, "socks version error"},
      {"5", {B({5, 0}), B({4, 0, 0, 1})}, 20002, "socks version error"},
      {"5", {B({5, 0}), B({5, 9})}, 20012, "unassigned error #9"},
      {"5", {B({5, 0}), B({5, 0, 0, 9, 0})}, 20011, "address type not supported"},
      {"5", {B({5, 2}), B({1, 1})}, 20015, "socks authentication failed"},
      {"5", {B({5, 2}), B({2, 0})}, 20002, "socks version error"},
      {"5", {B({5, 2}), B({1, 0, 5})}, 20001, "too much data availaible"},
      {"5", {}, 10053, "data receive error", "close"},
      {"5", {B({5, 2})}, 10053, "data receive error", "close"},
      {"5", {B({5, 0})}, 10054, "data receive error", "reset"},
      {"4", {B({4, 90, 0, 0, 0, 0, 0, 0})}, 20002, "socks version error"},
      {"4", {B({0, 91, 0, 0, 0, 0, 0, 0})}, 20016, "request rejected or failed"},
      {"4", {B({0, 92, 0, 0, 0, 0, 0, 0})}, 20008, "connection refused"},
      {"4A", {B({0, 93, 0, 0, 0, 0, 0, 0})}, 20015, "authentification failed"},
      {"4", {B({0, 94, 0, 0, 0, 0, 0, 0})}, 20012, "unassigned error #94"},
  };
  const char* texts5[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                          "network unreachable",          "host unreachable",
                          "connection refused",           "time to live expired",
                          "command not supported",        "address type not supported"};
  for (int code = 1; code <= 8; ++code)
    cases.push_back({"5", {B({5, 0}), B({5, code})}, 20003 + code, texts5[code - 1]});

  TScriptedProxy proxy;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Level + " " + c.Text + " " + c.Last);
    TEventLog log;
    TWSocket s(nullptr);
    log.Wire(s);
    s.SocksAuthentication = socksAuthenticateUsercode;
    proxy.Connect(s, c.Level, "127.0.0.1");
    for (const std::string& reply : c.Script) {
      EXPECT_FALSE(proxy.Read(1).empty());
      proxy.Send(reply);
    }
    if (!c.Last.empty()) {
      // What the client sent is read first: a close with unread bytes would be a reset.
      EXPECT_FALSE(proxy.Read(1).empty());
      c.Last == "close" ? proxy.Close() : proxy.Reset();
    }
    ASSERT_TRUE(test::PumpUntil([&] { return !log.Only({"closed:"}).empty(); }));
    test::PumpTurns();
    const std::string code = std::to_string(c.Code);
    EXPECT_EQ(log.Only({"socks-error", "connected:", "closed:"}),
              (TLogLines{"socks-error:" + code + ":" + c.Text, "connected:" + code, "closed:" + code}));
    EXPECT_EQ(s.State(), wsClosed);
    const bool authenticating = !c.Script.empty() && c.Script[0] == B({5, 2});
    EXPECT_EQ(log.Has("auth:" + std::to_string(sasFailure)), authenticating);
    proxy.Close();
  }

  // Level 4 names the address itself: one it cannot resolve fails before anything is sent.
  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  const std::string name("no\0such", 7);
  proxy.Connect(s, "4", name);
  ASSERT_TRUE(test::PumpUntil([&] { return !log.Only({"closed:"}).empty(); }));
  EXPECT_EQ(log.Only({"socks-error", "connected:", "closed:"}),
            (TLogLines{"socks-error:20017:ESocketException WSocketResolveHost: Cannot convert host address '" + name +
                           "', Error #11001",
                       "connected:20017", "closed:20017"}));
}

// Aborted (and reset, also after a raising OnSessionClosed) as a direct connection would be.
TEST_F(SocksTest, HandlerExceptionsReachOnBgExceptionAsOnADirectConnection) {
  const std::string refusal = "socks-error:20016", rejected = B({0, 91, 0, 0, 0, 0, 0, 0});
  const std::vector<std::tuple<std::string, std::string, TLogLines>> cases = {
      {"connected:0", B({0, 90, 0, 0, 0, 0, 0, 0}), {"connected:0", "bg:connected:0", "closed:0"}},
      {refusal, rejected, {refusal, "bg:" + refusal, "closed:0"}},
      {"closed:20016", rejected, {refusal, "connected:20016", "closed:20016", "bg:closed:20016"}}};
  TScriptedProxy proxy;
  for (const auto& [raising, reply, expected] : cases) {
    TEventLog log;
    TWSocket s(nullptr);
    auto raise = [&, raising = raising] {
      if (log.Lines.back() == raising) throw Exception(raising);
    };
    s.OnSessionConnected = [&](TObject*, uint16_t e) {
      log.Add("connected:", e);
      raise();
    };
    s.OnSessionClosed = [&](TObject*, uint16_t e) {
      log.Add("closed:", e);
      raise();
    };
    s.OnSocksError = [&](TObject*, int e, const std::string&) {
      log.Add("socks-error:", e);
      raise();
    };
    s.OnBgException = [&](TObject*, const Exception& e, bool&) { log.Lines.push_back("bg:" + e.Message()); };
    proxy.Connect(s, "4", "127.0.0.1");
    proxy.Read(9);
    proxy.Send(reply);
    ASSERT_TRUE(test::PumpUntil([&] { return !log.Only({"bg:"}).empty() && s.State() == wsClosed; }, 3)) << raising;
    EXPECT_EQ(log.Lines, expected);
    EXPECT_EQ(s.SocksServer(), "");
    proxy.Close();
  }
}

TEST_F(SocksTest, ProxyThatRefusesTheConnectionIsReportedAsADirectConnectionWouldBe) {
  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(test::UnusedPort());
  s.SetAddr("target.example");
  s.SetPort("80");
  s.Connect();
  ASSERT_TRUE(test::PumpUntil([&] { return log.Has("closed:0"); }));
  EXPECT_EQ(log.Only({"socks-", "connected:", "closed:"}),
            (TLogLines{"socks-connected:10061", "connected:10061", "closed:0"}));
}

TEST_F(SocksTest, RepliesSplitIntoSingleBytesGiveTheSameResult) {
  TScriptedProxy proxy;
  for (const std::string level : {"5", "4"}) {
    TEventLog log;
    TWSocket s(nullptr);
    log.Wire(s);
    s.SocksAuthentication = socksAuthenticateUsercode;
    proxy.Connect(s, level, "127.0.0.1");
    if (level == "5") {
      proxy.Read(3);
      proxy.SendBytewise(B({5, 2}), s);
      proxy.Read(3);
      proxy.SendBytewise(B({1, 0}), s);
      proxy.Read(16);
      proxy.SendBytewise(B({5, 0, 0, 3, 4}) + "host" + B({0, 80}) + "xy", s);
    } else {
      proxy.Read(9);
      proxy.SendBytewise(B({0, 90, 0, 80, 127, 0, 0, 1}) + "xy", s);
    }
    ASSERT_TRUE(test::PumpUntil([&] { return log.Received == "xy"; })) << level;
    EXPECT_EQ(log.Only({"socks-", "connected:"}), (TLogLines{"socks-connected:0", "connected:0"})) << level;
    proxy.Close();
  }
}

// A TWSocket that gives up waiting after a while.
struct TImpatientSocket : TWSocket {
  explicit TImpatientSocket(int ms) : TWSocket(nullptr) { WaitTimeout = ms; }
};

TEST_F(SocksTest, WaitsPumpTheLoopUntilTheFlagOrTheirEnd) {
  test::TLoopbackServer server;
  TWSocket s(nullptr);
  bool connected = false;
  s.OnSessionConnected = [&](TObject*, uint16_t) { connected = true; };
  s.SetAddr("127.0.0.1");
  s.SetPort(server.Port());
  EXPECT_EQ(s.RunAndWait(connected, [&] { s.Connect(); }), 0);
  EXPECT_EQ(s.State(), wsConnected);
  bool never = false;
  TImpatientSocket impatient(20);
  EXPECT_EQ(impatient.WaitForFlag(never), 12001);

  // Asked to end while a handler waits: the wait ends, then the loop.
  TEventLoop& loop = TEventLoop::Instance();
  int result = -1;
  struct TTarget : INotificationTarget {
    std::function<void(TMessage&)> Handle;
    void HandleMessage(TMessage& m) override { Handle(m); }
  } target;
  TNotificationEndpoint endpoint(&target);
  target.Handle = [&](TMessage& m) {
    if (m.Msg == 1) {
      endpoint.Post(2, 0, 0);
      result = s.WaitForFlag(never);
    } else {
      loop.Terminate();
    }
  };
  endpoint.Post(1, 0, 0);
  loop.Run();
  EXPECT_EQ(result, 12001);
  EXPECT_FALSE(loop.Terminated());
  s.Close();
}

}  // namespace
}  // namespace ordwin
