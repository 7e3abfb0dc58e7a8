#include "app/Program.h"

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include "tests/app/ProgramRunner.h"

namespace ordwin {
namespace {

namespace fs = std::filesystem;
using test::Lines;
using test::ProgramTest;
using test::TProgram;

TEST_F(ProgramTest, WithoutADisplayItSaysSoRunsHeadlessAndStopsCleanlyOnSigterm) {
  // Elsewhere port 80 cannot be opened, and its warning would stand in the output.
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  Store("[ustawienia]\nadres=192.168.0.5\n");
  TProgram program(Home, {});
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }))
      << program.Out << program.Err;
  EXPECT_EQ(program.Err, "Ordwin: no display available; running without a window (--headless)\n");
  EXPECT_NE(program.Out.find("stacji na \"192.168.0.5\" by"), std::string::npos);
  EXPECT_NE(program.Out.find("\n\nUżywając Kelvadra"), std::string::npos);
  EXPECT_EQ(program.Stop(SIGTERM), 0);
  EXPECT_EQ(Lines(program.Out), test::kFirstStartLines);
}

TEST_F(ProgramTest, AnAddressGivenWithTheOptionIsStoredAsTheBoxStoresItBeforeStartUp) {
  Store("[ustawienia]\nadres=192.168.0.5\n");
  TProgram program(Home, {"--headless", "--address", "gg.łódź.lan"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) {
    return out.find("Kelvadra") != out.npos;
  })) << program.Out
      << program.Err;
  EXPECT_NE(program.Out.find("stacji na \"gg.łódź.lan\" by"), std::string::npos);
  EXPECT_EQ(program.Stop(SIGTERM), 0);
  EXPECT_EQ(Stored(), "[ustawienia]\nadres=gg.łódź.lan\n");
}

TEST_F(ProgramTest, HeadlessShowsTheErrorBoxOnStandardErrorAndStopsOnSigint) {
  Store("[ustawienia]\nadres=a, b\n");
  TProgram program(Home, {"--headless"});
  ASSERT_TRUE(program.ReadUntil([](const std::string&, const std::string& err) { return Lines(err) >= 1; }))
      << program.Err;
  EXPECT_EQ(program.Err, "Ordwin: Invalid data type for 'adres'.\n");
  EXPECT_EQ(program.Stop(SIGINT), 0);
  EXPECT_EQ(program.Out, "");
}

TEST_F(ProgramTest, TheWindowOnAChosenPlatformClosesOnSigtermAndKeepsTheSetting) {
  // Elsewhere port 80 cannot be opened, and its warning would stand in the output.
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  Store("[ustawienia]\nadres=10.1.2.3\n");
  TProgram program(Home, {}, {"QT_QPA_PLATFORM=offscreen"});
  // Nothing is printed with a window: wait (reading as we go) until the stop signals are taken.
  ASSERT_TRUE(program.ReadUntil(
      [&program](const std::string&, const std::string&) { return program.StopSignalsBlocked(); }, 20));
  EXPECT_EQ(program.Stop(SIGTERM), 0);
  EXPECT_EQ(program.Out, "");
  EXPECT_EQ(program.Err.find("no display"), std::string::npos);
  EXPECT_EQ(Stored(), "[ustawienia]\nadres=10.1.2.3\n");
}

// The platform's default soft limit (often 1,024 descriptors) would stop the server at about a
// thousand clients: the program raises it to the hard limit as it starts.
TEST_F(ProgramTest, AtStartTheDescriptorLimitIsRaisedToTheHardLimit) {
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  if (old.rlim_max != RLIM_INFINITY && old.rlim_max <= 256) GTEST_SKIP() << "hard limit too low to tell";
  rlimit low = old;
  low.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  TProgram program(Home, {"--headless"});
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }))
      << program.Out << program.Err;
  std::ifstream limits("/proc/" + std::to_string(program.Pid()) + "/limits");
  std::string line, soft, hard;
  while (std::getline(limits, line))
    if (line.rfind("Max open files", 0) == 0) std::istringstream(line.substr(14)) >> soft >> hard;
  EXPECT_FALSE(soft.empty());
  EXPECT_EQ(soft, hard);
  EXPECT_EQ(program.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace ordwin
