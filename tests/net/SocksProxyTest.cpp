// Real SOCKS proxies, started by the tests on loopback: microsocks (level 5, with and without a
// user name and password) and dante's danted (levels 4 and 5).
#include "net/SocksWSocket.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/WSocket.h"
#include "tests/net/SocketLog.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using test::TEventLog;
using TLogLines = std::vector<std::string>;
using SocksProxyTest = test::LoopTest;

constexpr size_t kMegabyte = 1 << 20;

std::string Pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 4093 + seed) & 0xFF);
  return s;
}

// A proxy program, running until the object goes; its output goes nowhere.
class TProxyProcess {
public:
  TProxyProcess(const std::string& program, std::vector<std::string> args, const std::string& port) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    // Ready once it takes connections.
    ready_ = pid_ > 0 && test::PumpUntil([&] { return test::ConnectTo(std::stoi(port)).Valid(); }, 10);
  }
  ~TProxyProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  bool Ready() const { return ready_; }

private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// Where a program is installed, empty when it is not. danted lives in /usr/sbin, which a normal
// user's PATH lacks, so the proxies are started by this path.
std::string Installed(const char* program) {
  for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/", "/usr/local/sbin/"})
    if (std::string path = dir + std::string(program); ::access(path.c_str(), X_OK) == 0) return path;
  return "";
}

// Connects through the proxy at 127.0.0.1:ProxyPort to a listener of the test's own and sends
// a megabyte each way; returns the events of the client.
TLogLines CarryAMegabyteEachWay(const std::string& proxyPort, const std::string& level, TSocksAuthentication auth,
                                const std::string& user = "", const std::string& password = "") {
  const std::string up = Pattern(kMegabyte, 1), down = Pattern(kMegabyte, 2);
  TEventLog serverLog, log;
  serverLog.LogData = log.LogData = false;
  test::TLoopbackServer server;
  server.Log = &serverLog;
  TWSocket s(nullptr);
  log.Wire(s);
  s.OnSessionConnected = [&](TObject*, uint16_t e) {
    log.Add("connected:", e);
    if (e == 0) s.SendString(up);
  };
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(proxyPort);
  s.SetSocksLevel(level);
  s.SocksAuthentication = auth;
  s.SetSocksUsercode(user);
  s.SetSocksPassword(password);
  s.SetAddr("127.0.0.1");
  s.SetPort(server.Port());
  s.Connect();
  bool sentDown = false;
  bool done = test::PumpUntil(
      [&] {
        if (!sentDown && server.Peers.size() == 1 && server.Peers[0]->State() == wsConnected) {
          server.Peers[0]->SendString(down);
          sentDown = true;
        }
        return (serverLog.Received.size() >= up.size() && log.Received.size() >= down.size()) ||
               !log.Only({"closed:"}).empty();
      },
      30);
  EXPECT_TRUE(done);
  EXPECT_TRUE(serverLog.Received == up) << "up: " << serverLog.Received.size() << " bytes";
  EXPECT_TRUE(log.Received == down) << "down: " << log.Received.size() << " bytes";
  s.Close();
  EXPECT_TRUE(test::PumpUntil([&] { return !serverLog.Only({"closed:"}).empty(); }));
  return log.Only({"socks-", "auth:", "connected:"});
}

TEST_F(SocksProxyTest, MicrosocksCarriesAMegabyteEachWayWithAndWithoutUserAndPassword) {
  const std::string microsocks = Installed("microsocks");
  if (microsocks.empty()) GTEST_SKIP() << "microsocks is not installed (scripts/install-deps.sh --tests)";
  const std::string open = test::UnusedPort();
  TProxyProcess plain(microsocks, {"-i", "127.0.0.1", "-p", open}, open);
  ASSERT_TRUE(plain.Ready());
  EXPECT_EQ(CarryAMegabyteEachWay(open, "5", socksNoAuthentication), (TLogLines{"socks-connected:0", "connected:0"}));

  const std::string guarded = test::UnusedPort();
  TProxyProcess withUser(microsocks, {"-i", "127.0.0.1", "-p", guarded, "-u", "ordwin", "-P", "s3cret"}, guarded);
  ASSERT_TRUE(withUser.Ready());
  EXPECT_EQ(CarryAMegabyteEachWay(guarded, "5", socksAuthenticateUsercode, "ordwin", "s3cret"),
            (TLogLines{"socks-connected:0", "auth:" + std::to_string(sasStart), "auth:" + std::to_string(sasSuccess),
                       "connected:0"}));

  // A wrong password is refused by the proxy.
  TEventLog log;
  TWSocket s(nullptr);
  log.Wire(s);
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(guarded);
  s.SocksAuthentication = socksAuthenticateUsercode;
  s.SetSocksUsercode("ordwin");
  s.SetSocksPassword("wrong");
  s.SetAddr("127.0.0.1");
  s.SetPort("9");
  s.Connect();
  ASSERT_TRUE(test::PumpUntil([&] { return !log.Only({"closed:"}).empty(); }));
  EXPECT_EQ(log.Only({"socks-error", "connected:", "closed:"}),
            (TLogLines{"socks-error:20015:socks authentication failed", "connected:20015", "closed:20015"}));
}

TEST_F(SocksProxyTest, DanteCarriesAMegabyteEachWayAtLevels4And5) {
  const std::string danted = Installed("danted");
  if (danted.empty()) GTEST_SKIP() << "danted is not installed (scripts/install-deps.sh --tests)";
  const std::string port = test::UnusedPort();
  const std::string config = ::testing::TempDir() + "ordwin-danted.conf";
  std::ofstream(config) << "logoutput: stderr\n"
                        << "internal: 127.0.0.1 port = " << port << "\n"
                        << "external: 127.0.0.1\n"
                        << "clientmethod: none\nsocksmethod: none\n"
                        << (::geteuid() == 0 ? "user.privileged: root\nuser.unprivileged: nobody\n" : "")
                        << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                        << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n";
  const std::string pidFile = ::testing::TempDir() + "ordwin-danted.pid";
  TProxyProcess dante(danted, {"-f", config, "-p", pidFile}, port);
  ASSERT_TRUE(dante.Ready());
  for (const std::string level : {"4", "5"})
    EXPECT_EQ(CarryAMegabyteEachWay(port, level, socksNoAuthentication),
              (TLogLines{"socks-connected:0", "connected:0"}))
        << level;
  std::remove(config.c_str());
  std::remove(pidFile.c_str());
}

}  // namespace
}  // namespace ordwin
