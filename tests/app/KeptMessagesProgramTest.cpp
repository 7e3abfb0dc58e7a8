// Messages for people who are away, through the running program: kept across a restart and a
// crash, within their bounds, in a file that is set aside when it cannot be used.
#include "app/Program.h"

#include <ctime>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "gg/Cp1250.h"
#include "tests/app/GgWirePeer.h"
#include "tests/app/LibgaduPeer.h"
#include "tests/app/ProgramRunner.h"

namespace ordwin {
namespace {

namespace fs = std::filesystem;
using test::Hex;
using test::Le;
using test::ProgramTest;
using test::ReadLe;
using test::TGgWirePeer;
using test::TLibgaduPeer;
using test::TProgram;

const std::string kPolish = "zażółć gęślą jaźń";
const std::string kBoth = kPolish + " Привет 😀";

// The program started headless with args, once its hints are out.
std::unique_ptr<TProgram> Started(const fs::path& home, std::vector<std::string> args) {
  args.insert(args.begin(), "--headless");
  auto program = std::make_unique<TProgram>(home, args);
  EXPECT_TRUE(program->ReadUntil([](const std::string& out, const std::string&) {
    return out.find("Kelvadra") != out.npos;
  })) << program->Out
      << program->Err;
  return program;
}

std::unique_ptr<TLibgaduPeer> LoggedIn(uint32_t uin, int protocol) {
  auto peer = std::make_unique<TLibgaduPeer>(uin, protocol, "127.0.0.1", 2, "");
  EXPECT_TRUE(peer->Saw("connected")) << peer->Unseen();
  return peer;
}

TEST_F(ProgramTest, MessagesWaitForPeopleWhoAreAwayAcrossARestartAndACrash) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  auto program = Started(Home, {"--keep-messages"});
  EXPECT_NE(program->Out.find("Wiadomości dla nieobecnych czekają"), std::string::npos) << program->Out;
  time_t from = std::time(nullptr);
  auto a = LoggedIn(1001, 0x40);
  for (const char* to : {"1002", "1003"}) {
    a->Command("msg " + std::string(to) + " " + Hex(kBoth));
    EXPECT_TRUE(a->Saw("ack " + std::string(to) + " 3 *")) << a->Unseen();
  }
  time_t to = std::time(nullptr);
  EXPECT_EQ(program->Stop(SIGTERM), 0);
  EXPECT_NE(program->Out.find("<wiadomość dla 1002 czeka na jego zalogowanie\n"), std::string::npos) << program->Out;

  // After a restart, with the setting kept: each gets its message in its own dialect, 6.0 too.
  program = Started(Home, {});
  auto b = LoggedIn(1002, 0x2e);
  std::string sent;  // the time libgadu reports after the message
  EXPECT_TRUE(b->Saw("msg 1001 8 " + Hex(kBoth))) << b->Unseen();
  ASSERT_TRUE(b->Saw("sent 1001 *", 10, &sent)) << b->Unseen();
  EXPECT_TRUE(std::stol(sent.substr(10)) >= from && std::stol(sent.substr(10)) <= to) << sent;
  TGgWirePeer old;
  ASSERT_EQ(old.Receive().first, 1);
  old.Send(21, Le(1003));
  EXPECT_TRUE(old.SawWhere([&](int32_t type, const std::string& p) {
    return type == 10 && ReadLe(p, 0) == 1001 && ReadLe(p, 8) >= from && ReadLe(p, 8) <= to &&
           p.substr(16) == Utf8ToCp1250(kPolish) + " ?????? ?" + std::string(1, '\0');
  }));

  // Killed between keeping and handing over: handed over once, and not again after another kill.
  b->Command("msg 1005 " + Hex("po awarii"));
  EXPECT_TRUE(b->Saw("ack 1005 3 *")) << b->Unseen();
  program->Stop(SIGKILL);
  program = Started(Home, {});
  auto d = LoggedIn(1005, 0x40);
  EXPECT_TRUE(d->Saw("msg 1002 8 " + Hex("po awarii"))) << d->Unseen();
  d->Command("ping");  // logged on a later turn than the one that handed the message over
  EXPECT_TRUE(program->ReadUntil(
      [](const std::string& out, const std::string&) { return out.find("1005>ciągle") != out.npos; }));
  EXPECT_NE(program->Out.find("<zaległa wiadomość od 1002 z "), std::string::npos) << program->Out;
  program->Stop(SIGKILL);
  program = Started(Home, {});
  d = LoggedIn(1005, 0x40);
  b = LoggedIn(1002, 0x2e);
  b->Command("msg 1005 " + Hex("na żywo"));
  EXPECT_TRUE(d->Saw("msg 1002 8 " + Hex("na żywo"))) << d->Unseen();
  EXPECT_FALSE(d->Saw("msg *", 0)) << d->Unseen();
  EXPECT_EQ(program->Stop(SIGTERM), 0);

  // Turned off: the answer of a server that keeps nothing.
  program = Started(Home, {"--keep-messages=off"});
  a = LoggedIn(1001, 0x40);
  a->Command("msg 1002 " + Hex("halo"));
  EXPECT_TRUE(a->Saw("ack 1002 1 *")) << a->Unseen();
  EXPECT_TRUE(a->Saw("msg 0 4 " + Hex("Użytkownik gdzieś se poszedł. Wiadomość nie zostanie mu przekazana.")));
  EXPECT_EQ(program->Stop(SIGTERM), 0);
  EXPECT_EQ(program->Err, "");
}

// A file that is no database is set aside and a new one started; a recipient's 1,001st message
// gets the answer of today, and the 1,000 before it arrive in order at its log-in.
TEST_F(ProgramTest, KeptMessagesStayWithinTheirBoundsInAFileThatCanBeUsed) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  const fs::path file = Home / ".local" / "share" / "Malvory" / "RIDuziva" / "wiadomosci.db";
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "nie baza danych";
  Store("[ustawienia]\nprzechowuj=tak\n");
  auto program = Started(Home, {});
  const std::string aside =
      "<plik wiadomości " + file.string() + " był uszkodzony lub nieczytelny (file is not a database); odłożony jako ";
  EXPECT_TRUE(
      program->ReadUntil([&](const std::string& out, const std::string&) { return out.find(aside) != out.npos; }));

  TGgWirePeer sender, recipient;
  ASSERT_EQ(sender.Receive().first, 1);
  sender.Send(21, Le(1001));
  for (int i = 1; i <= 1001; ++i) sender.Send(11, Le(1002) + Le(i) + Le(8) + std::to_string(i) + std::string(1, '\0'));
  EXPECT_TRUE(sender.Saw(5, Le(3) + Le(1001) + Le(1000)));
  EXPECT_TRUE(sender.Saw(5, Le(1) + Le(1001) + Le(1001)));
  ASSERT_EQ(recipient.Receive().first, 1);
  recipient.Send(21, Le(1002));
  ASSERT_EQ(recipient.Receive().first, 3);
  for (int i = 1; i <= 1000; ++i) ASSERT_EQ(recipient.Receive().second.substr(16), std::to_string(i) + '\0') << i;
  EXPECT_EQ(program->Stop(SIGTERM), 0);
  EXPECT_NE(program->Out.find("<brak miejsca na wiadomości dla 1002\n"), std::string::npos);
}

}  // namespace
}  // namespace ordwin
