#include "app/CommandLine.h"

#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/ProgramRunner.h"

namespace ordwin {
namespace {

namespace fs = std::filesystem;
using test::ProgramTest;
using test::TProgram;
using TAction = TCommandLine::TAction;

constexpr const char* kUsage =
    "Usage: ordwin [options]\n"
    "A GG (Gadu-Gadu) server for this PC and the local network. GG clients log in\n"
    "on TCP port 8074; port 80 answers their server-address query. Without options\n"
    "it opens its window; where no display can be reached it says so and runs\n"
    "headless.\n"
    "\n"
    "Options:\n"
    "  -h, --help           Show this help and exit.\n"
    "  -v, --version        Show the version and exit.\n"
    "  --headless           Run without a window: log lines and hints go to standard\n"
    "                       output, message and error boxes to standard error; Ctrl+C\n"
    "                       or SIGTERM stops it.\n"
    "  --address <ADDRESS>  Store ADDRESS as the server address given to clients, as\n"
    "                       the window's box does, and start with it.\n"
    "  --keep-messages      Keep each message for a person who is not connected\n"
    "                       until they next log in (up to 30 days), and store this\n"
    "                       choice for the next starts; --keep-messages=off stops it.\n";

TCommandLine Parse(const QStringList& options) { return ParseCommandLine(QStringList{"/usr/bin/ordwin"} + options); }

TEST(CommandLine, OptionsAreReadWholeAndAnyMistakeWinsOverWhatWasAskedBeside) {
  EXPECT_EQ(Parse({}).Action, TAction::caRun);
  EXPECT_FALSE(Parse({}).Headless);
  EXPECT_TRUE(Parse({"--headless"}).Headless);
  EXPECT_TRUE(Parse({"-headless"}).Headless);  // one word after one dash, not seven letters
  EXPECT_EQ(Parse({"--headless"}).Action, TAction::caRun);
  EXPECT_EQ(Parse({"-h"}).Action, TAction::caShowHelp);
  EXPECT_EQ(Parse({"--headless", "--version"}).Action, TAction::caShowVersion);
  EXPECT_EQ(Parse({"--version", "--help"}).Action, TAction::caShowHelp);

  EXPECT_FALSE(Parse({"--headless"}).Address);
  EXPECT_EQ(Parse({"--address", "192.168.1.10", "--headless"}).Address, "192.168.1.10");
  EXPECT_EQ(Parse({"--address="}).Address, "");  // stored empty, as an emptied box is
  EXPECT_EQ(Parse({"--keep-messages", "--headless"}).KeepMessages, true);
  EXPECT_EQ(Parse({"--keep-messages=off", "--keep-messages=on", "-keep-messages=off"}).KeepMessages, false);
  EXPECT_EQ(Parse({"--keep-messages=no"}).Text.substr(0, 55),
            "Ordwin: Unexpected value after '--keep-messages'.\nUsage");

  // Unknown options as typed.
  EXPECT_EQ(Parse({"--help", "--bogus"}).Text, std::string("Ordwin: Unknown option '--bogus'.\n") + kUsage);
  EXPECT_EQ(Parse({"-hv", "--x=1"}).Text.substr(0, 42), "Ordwin: Unknown options: -hv, --x.\nUsage: ");
  EXPECT_EQ(Parse({"--address"}).Text.substr(0, 48), "Ordwin: Missing value after '--address'.\nUsage: ");
  EXPECT_EQ(Parse({"--headless=yes"}).Text.substr(0, 49), "Ordwin: Unexpected value after '--headless'.\nUsag");
  EXPECT_EQ(Parse({"--headless", "192.168.0.5"}).Text.substr(0, 47),
            "Ordwin: Unexpected argument '192.168.0.5'.\nUsag");
  for (const QStringList& wrong : {QStringList{"-x"}, QStringList{"--help=1"}, QStringList{"--", "x"}}) {
    EXPECT_EQ(Parse(wrong).Action, TAction::caMistake) << wrong.join(' ').toStdString();
    EXPECT_TRUE(Parse(wrong).Text.ends_with(kUsage));
  }
}

TEST_F(ProgramTest, HelpVersionAndMistakesAnswerAndEndWithoutStartingTheServer) {
  struct TCase {
    std::vector<std::string> Args;
    int Status;
    std::string Out, Err;
  };
  const std::string version = "Ordwin " ORDWIN_VERSION "\n";
  for (const TCase& c : std::vector<TCase>{
           {{"--help"}, 0, kUsage, ""},
           {{"-h", "--headless"}, 0, kUsage, ""},
           {{"--version"}, 0, version, ""},
           {{"-v"}, 0, version, ""},
           {{"--address", "10.0.0.7", "--help"}, 0, kUsage, ""},
           {{"--bogus"}, 2, "", std::string("Ordwin: Unknown option '--bogus'.\n") + kUsage},
           {{"--headless", "now"}, 2, "", std::string("Ordwin: Unexpected argument 'now'.\n") + kUsage}}) {
    TProgram program(Home, c.Args);
    EXPECT_EQ(program.Wait(), c.Status) << c.Args[0];
    EXPECT_EQ(program.Out, c.Out) << c.Args[0];
    EXPECT_EQ(program.Err, c.Err) << c.Args[0];
  }
  // Nothing started, so nothing was stored either, not even a given address.
  EXPECT_TRUE(fs::is_empty(Home / ".config" / "Malvory"));
}

}  // namespace
}  // namespace ordwin
