#include "app/Program.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "net/Descriptor.h"
#include "tests/app/GgWirePeer.h"
#include "tests/app/ProgramRunner.h"

namespace ordwin {
namespace {

using test::ConnectLoopback;
using test::Lines;
using test::Output;
using test::ProgramTest;
using test::TProgram;

TEST_F(ProgramTest, AnHttpClientAskingPort80GetsTheAddressOfThisServer) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  Store("[ustawienia]\nadres=192.168.0.5\n");
  TProgram program(Home, {"--headless"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }))
      << program.Out << program.Err;
  EXPECT_EQ(Output("curl -si --max-time 10 'http://127.0.0.1/appsvc/appmsg4.asp?x=1'"),
            "HTTP/1.0 200 OK\r\nContent-Type: text/data\r\n\r\n0 0 192.168.0.5:8074 192.168.0.5");
  EXPECT_EQ(program.Stop(SIGTERM), 0);
  EXPECT_EQ(Lines(program.Out), test::kFirstStartLines);
  EXPECT_EQ(program.Err, "");
}

// Past 64 connections from one address (not this PC's own) the next is turned away at once, on
// either port, and the log says so.
TEST_F(ProgramTest, PastSixtyFourConnectionsFromOneAddressTheNextIsTurnedAway) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  ASSERT_EQ(std::system("ip address add 10.9.8.7/32 dev lo"), 0);
  TProgram program(Home, {"--headless"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }));
  std::vector<TDescriptor> held;
  for (uint16_t port : {8074, 80}) {
    for (int i = 0; i <= 64; ++i) {
      held.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in a{AF_INET, 0, {inet_addr("10.9.8.7")}, {}};
      ASSERT_EQ(::bind(held.back().Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
      a = {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
      ASSERT_EQ(::connect(held.back().Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    }
    char byte;
    timeval limit{10, 0};
    ::setsockopt(held.back().Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    EXPECT_EQ(::recv(held.back().Get(), &byte, 1, 0), 0) << port;  // closed without a word
  }
  EXPECT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) {
    return out.find("<odmowa połączenia z 10.9.8.7: za dużo połączeń z tego adresu\n") != std::string::npos &&
           out.find("<odmowa połączenia HTTP z 10.9.8.7: za dużo połączeń z tego adresu\n") != std::string::npos;
  }));
  EXPECT_EQ(program.Stop(SIGTERM), 0);
}

TEST_F(ProgramTest, APort80HeldByAnotherServerIsReportedAndTheGgServerStillRuns) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  TDescriptor other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(80);
  ASSERT_EQ(::bind(other.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(::listen(other.Get(), 5), 0);

  TProgram program(Home, {"--headless"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string& err) {
    return Lines(out) >= 5 && Lines(err) >= 3;
  })) << program.Out
      << program.Err;
  EXPECT_EQ(program.Err,
            "Ostrzeżenie: Nie udało się otworzyć portu 80 !\n\nNajprawdopodobniej jest on blokowany przez "
            "funkcjonujący serwer HTTP. Wyłącz go lub skonfiguruj tak, by na żądanie dokumentu "
            "„\\appsvc\\appmsg4.asp” serwera witrualnego „localhost” odpowiadał „0 0 localhost:8074 localhost”\n");
  EXPECT_EQ(program.Out.substr(0, program.Out.find("By korzystać")),
            "Wyłącz funkcjonujący serwer HTTP by nie blokował portu 80 lub skonfiguruj go tak, by na żądanie "
            "dokumentu „\\appsvc\\appmsg4.asp” odpowiadał „0 0 localhost:8074 localhost”\n\n");
  EXPECT_NE(program.Out.find("stacji na \"localhost\" by oryginalny klient skorzystał z nowego serwera od razu.\n\n"
                             "Używając Kelvadra "),
            std::string::npos);

  {
    test::TGgWirePeer gg;
    ASSERT_TRUE(gg.Connected());
    EXPECT_EQ(gg.Receive().first, 1);  // the welcome packet
  }
  EXPECT_EQ(program.Stop(SIGTERM), 0);
  EXPECT_EQ(program.Out.substr(program.Out.rfind('\n', program.Out.size() - 2)), "\n>powitanie\n");
}

TEST_F(ProgramTest, ARestartRightAfterServingClientsGetsBothPortsBack) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  const std::string answer = "0 0 localhost:8074 localhost";
  for (int run = 1; run <= 2; ++run) {
    TProgram program(Home, {"--headless"});
    ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }))
        << run << program.Out << program.Err;
    // The server closes both connections first, so both ports keep connections in TIME_WAIT.
    EXPECT_EQ(Output("curl -s --max-time 10 http://127.0.0.1/"), answer) << run;
    int gg = ConnectLoopback(8074);
    ASSERT_GE(gg, 0) << run;
    char welcome[12];
    EXPECT_EQ(::recv(gg, welcome, sizeof(welcome), MSG_WAITALL), 12) << run;
    EXPECT_EQ(program.Stop(SIGTERM), 0) << run;
    EXPECT_EQ(::recv(gg, welcome, 1, 0), 0) << run;
    ::close(gg);
    EXPECT_EQ(program.Err, "") << run;
  }
}

}  // namespace
}  // namespace ordwin
