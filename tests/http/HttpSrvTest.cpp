#include "http/HttpSrv.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include "net/WinsockErrors.h"
#include "tests/http/HttpTestServer.h"
#include "tests/net/SocketLog.h"

namespace ordwin {
namespace {

using test::HttpTest;
using test::NotFound;
using test::PumpUntil;

// Answers every GET with "ok"; Log records the server's events.
class HttpSrvTest : public HttpTest {
protected:
  void SetUp() override {
    HttpTest::SetUp();
    Server->OnGetDocument = [](TObject*, THttpConnection* c, THttpGetFlag& flags) {
      flags = hfTakeOver;
      c->SendString("ok");
    };
    Server->OnServerStarted = [this](TObject*) { Log.push_back("started"); };
    Server->OnServerStopped = [this](TObject*) { Log.push_back("stopped"); };
    Server->OnClientConnect = [this](TObject* s, THttpConnection* c, uint16_t e) {
      EXPECT_EQ(s, Server.get());
      EXPECT_EQ(c->DocDir, Server->DocDir);
      Log.push_back("connect " + c->Name() + " " + std::to_string(e));
    };
    Server->OnClientDisconnect = [this](TObject*, THttpConnection* c, uint16_t) {
      Log.push_back("disconnect " + c->Name());
    };
  }
  int Clients() const { return Server->SocketServer()->CountClients(); }
  // Waits until the server has attached n connections.
  void WaitClients(int n) {
    ASSERT_TRUE(PumpUntil([&] { return Clients() == n; }));
  }

  std::vector<std::string> Log;
};

TEST_F(HttpSrvTest, StartListensOnceMovesWithItsPortAndStopDropsEveryConnection) {
  Start();
  Server->Start();
  EXPECT_EQ(Log, std::vector<std::string>{"started"});

  // Another server on the same port fails, raises no OnServerStarted, and may try again later.
  THttpServer other(nullptr);
  bool otherStarted = false;
  other.OnServerStarted = [&](TObject*) { otherStarted = true; };
  other.SetAddr("127.0.0.1");
  other.SetPort(std::to_string(Port));
  try {
    other.Start();
    ADD_FAILURE() << "a taken port must raise";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message(), "Error 10048 in function Bind\r\nAddress already in use");
  }
  EXPECT_FALSE(otherStarted);

  // The same port text changes nothing; another one moves the listening server there.
  Server->SetPort("0");
  EXPECT_EQ(Log.size(), 1u);
  int moved = std::stoi(test::UnusedPort());
  Server->SetPort(std::to_string(moved));
  EXPECT_EQ(Log, (std::vector<std::string>{"started", "stopped", "started"}));
  EXPECT_FALSE(test::ConnectTo(Port).Valid());
  other.Start();
  EXPECT_TRUE(otherStarted);
  other.Stop();
  Port = moved;

  // A client that leaves without a request raises connect and disconnect, no document event.
  test::ConnectTo(Port).Close();
  ASSERT_TRUE(PumpUntil([&] { return Log.size() == 5; }));
  EXPECT_EQ(Log[3], "connect Client1 0");
  EXPECT_EQ(Log[4], "disconnect Client1");

  TDescriptor a = test::ConnectTo(Port);
  WaitClients(1);
  TDescriptor b = test::ConnectTo(Port);
  WaitClients(2);
  Server->Stop();
  EXPECT_EQ(Log.back(), "stopped");
  EXPECT_EQ(Clients(), 2);  // released on a later turn, the last accepted first
  WaitClients(0);
  EXPECT_EQ(std::vector<std::string>(Log.end() - 2, Log.end()),
            (std::vector<std::string>{"disconnect Client3", "disconnect Client2"}));
  std::string ignored;
  EXPECT_TRUE(test::DrainPeer(a.Get(), ignored));
  EXPECT_FALSE(test::ConnectTo(Port).Valid());

  // Idle, a new port is only stored until the next Start.
  Server->SetPort("0");
  EXPECT_EQ(Server->SocketServer()->State(), wsClosed);
  Start();
  EXPECT_EQ(Exchange("GET / HTTP/1.0\r\n\r\n"), "ok");
}

// A client that resets before it is accepted leaves nothing to attach, and a process out of
// descriptors cannot accept at all: either way only that client is lost.
TEST_F(HttpSrvTest, AFailedAcceptDropsOneClientAndTheServerListensOn) {
  Start();
  TDescriptor gone = test::ConnectTo(Port);
  test::ResetAndClose(gone);
  ASSERT_TRUE(PumpUntil([&] { return Server->SocketServer()->ClientNumber() == 1; }));
  EXPECT_EQ(Exchange("GET / HTTP/1.0\r\n\r\n"), "ok");
  WaitClients(0);

#ifndef ORDWIN_SANITIZED_BUILD  // the sanitizers' own checks need free descriptors
  TDescriptor first = test::ConnectTo(Port);
  WaitClients(1);
  const int accepts = Server->SocketServer()->ClientNumber();
  TDescriptor second(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  test::TDescriptorsUsedUp usedUp(second.Get());
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(second.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_TRUE(PumpUntil([&] { return Server->SocketServer()->LastError() == WSAEMFILE; }));
  first.Close();  // its connection gives a descriptor back
  ASSERT_TRUE(PumpUntil([&] { return Server->SocketServer()->ClientNumber() == accepts + 2; }));
  usedUp.GiveBack();
  // Taken among the last descriptors the process may open, it was turned away at once.
  EXPECT_EQ(ReadToEnd(second.Get()), "");
  EXPECT_EQ(Exchange("GET / HTTP/1.0\r\n\r\n"), "ok");
#endif
}

TEST_F(HttpSrvTest, BadInputGetsA404OrAnOrderlyCloseAndTheNextRequestIsAnswered) {
  Start();
  const std::string get = "GET / HTTP/1.0\r\n\r\n";
  EXPECT_EQ(Exchange("GET /" + std::string(100 * 1024, 'a') + " HTTP/1.0\r\n\r\n"), NotFound(""));
  EXPECT_EQ(Exchange(get), "ok");

  std::string many = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 10000; ++i) many += "X-Line-" + std::to_string(i) + ": value\r\n";
  EXPECT_EQ(Exchange(many + "\r\n"), NotFound("/", "HTTP/1.1"));
  EXPECT_EQ(Exchange(get), "ok");

  std::string wide = "GET / HTTP/1.1\r\n";  // a head past 16 KiB in all
  for (int i = 0; i < 20; ++i) wide += "X-Line: " + std::string(1000, 'v') + "\r\n";
  EXPECT_EQ(Exchange(wide + "\r\n"), NotFound("/", "HTTP/1.1"));
  EXPECT_EQ(Exchange(get), "ok");

  std::mt19937 random(8074);
  std::string garbage(64 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  std::string reply = Exchange(garbage);
  EXPECT_TRUE(reply.empty() || reply.find(" 404 Not Found\r\nContent-Type: text/html\r\n") != std::string::npos)
      << reply.substr(0, 200);
  EXPECT_EQ(Exchange(get), "ok");

  TDescriptor reset = test::ConnectTo(Port);
  test::SendAll(reset.Get(), "GET / HTTP/1.0\r\nHost: half");
  test::PumpTurns(10);
  test::ResetAndClose(reset);
  EXPECT_EQ(Exchange(get), "ok");
  WaitClients(0);
}

// A connection that waits on its client past the limit is closed: with nothing sent, with part
// of a request, after an answer that kept it alive, or with no close after the last answer.
TEST_F(HttpSrvTest, AConnectionWaitingOnItsClientPastTheLimitIsClosed) {
  Write("www/a.txt", "aaaa");
  Server->OnGetDocument = nullptr;
  Server->RequestTimeoutMs = 300;
  Start();
  for (auto [sent, answered] : {std::pair<std::string, bool>{"", false},
                                {"GET /a.txt HTTP/1.0\r\nHost: x\r\n", false},
                                {"HEAD /a.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
                                {"POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\n", true}}) {
    TDescriptor peer = test::ConnectTo(Port);
    test::SendAll(peer.Get(), sent);
    EXPECT_EQ(ReadToEnd(peer.Get()).empty(), !answered) << sent;
    WaitClients(0);  // the server's end is gone too, while the client's is still open
  }
}

TEST_F(HttpSrvTest, BurstsUpToAThousandSilentConnectionsAreTakenAndTheNextRequestIsAnswered) {
  constexpr int kSilent = 1000;
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 2 * kSilent + 100) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2 * kSilent + 100);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 2 * kSilent + 100) GTEST_SKIP() << "needs " << 2 * kSilent + 100 << " descriptors";
  }
  Start();
  // They come in bursts that the listener's queue takes whole: a client whose first packet
  // found it full would wait seconds for its second try, and the bounded connect would fail.
  constexpr int kBurst = 100;
  std::vector<TDescriptor> silent;
  while (silent.size() < kSilent) {
    for (int i = 0; i < kBurst; ++i) {
      TDescriptor peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      timeval bound{5, 0};
      ::setsockopt(peer.Get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(Port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ASSERT_EQ(::connect(peer.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0) << std::strerror(errno);
      silent.push_back(std::move(peer));
    }
    WaitClients(static_cast<int>(silent.size()));
  }
  EXPECT_EQ(Exchange("GET / HTTP/1.0\r\n\r\n"), "ok");
  silent.clear();
  WaitClients(0);
}

}  // namespace
}  // namespace ordwin
