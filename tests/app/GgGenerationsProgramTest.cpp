// Every GG client generation through the running program: two libgadu clients (the 8.0 and the
// 11 dialect, the latter over TLS) and a 6.0 client of our own.
#include "app/Program.h"

#include <cstdint>
#include <fstream>
#include <string>

#include <sched.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include "gg/Cp1250.h"
#include "tests/app/GgWirePeer.h"
#include "tests/app/LibgaduPeer.h"
#include "tests/app/ProgramRunner.h"
#include "tests/net/VanishingLink.h"

namespace ordwin {
namespace {

using test::TGgWirePeer;
using test::Hex;
using test::Le;
using test::TLibgaduPeer;
using test::Lines;
using test::ProgramTest;
using test::ReadLe;
using test::TProgram;

const std::string kPolish = "zażółć gęślą jaźń";
const std::string kRussian = "Привет 😀";
const std::string kBoth = kPolish + " " + kRussian;
constexpr int kProtocol80 = 0x2e;
constexpr int kProtocol110 = 0x40;

// A 6.0 status notification (type 15): number, code, nine zero bytes, description.
std::string Status60(int32_t uin, int code, const std::string& cp1250Description = "") {
  return Le(uin) + std::string(1, static_cast<char>(code)) + std::string(9, '\0') + cp1250Description;
}

// Whether a 6.0 received message (type 10) comes from sender with this Windows-1250 text.
auto Message60(int32_t sender, const std::string& cp1250Text) {
  return [=](int32_t type, const std::string& p) {
    return type == 10 && p.size() == 16 + cp1250Text.size() + 1 && ReadLe(p, 0) == sender && ReadLe(p, 8) == 0 &&
           ReadLe(p, 12) == 4 && p.substr(16) == cp1250Text + std::string(1, '\0');
  };
}

// A 6.0 client logged in as uin with a status.
void LogIn60(TGgWirePeer& peer, int32_t uin, int status, const std::string& cp1250Description) {
  ASSERT_TRUE(peer.Connected());
  ASSERT_EQ(peer.Receive().first, 1);
  peer.Send(21, Le(uin));
  ASSERT_EQ(peer.Receive(), std::make_pair(3, std::string()));
  peer.Send(2, Le(status) + cp1250Description);
}

// Moves this test process, and so the programs it starts, into a mount namespace of its own in
// which the system hosts file reads as file. Nothing mounted there reaches the machine, whose
// own hosts file is never touched. Needs root; false where it is not allowed.
bool UseHostsFile(const std::string& file) {
  if (::unshare(CLONE_NEWNS) != 0) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  return ::mount(file.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
}

// A contact list of exactly 5,000 bytes, in lines as GG clients store it.
std::string ContactList() {
  std::string list;
  for (int i = 0; list.size() < 5000; ++i)
    list += "Kontakt " + std::to_string(i) + ";" + kPolish + ";;;;" + std::to_string(2000 + i) + ";\r\n";
  return list.substr(0, 5000);
}

TEST_F(ProgramTest, EveryClientGenerationLogsInSeesTheOthersAndChats) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  TProgram program(Home, {"--headless"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }))
      << program.Out << program.Err;
  const std::string polish60 = Utf8ToCp1250(kPolish);
  const std::string russian60 = "?????? ?";

  // Log-ins: each sees the status and description the others have, whatever their dialect.
  auto c = std::make_unique<TGgWirePeer>();
  LogIn60(*c, 1003, 4, polish60);
  TLibgaduPeer a(1001, kProtocol80, "127.0.0.1", 4, kPolish);
  ASSERT_TRUE(a.Saw("connected")) << a.Unseen();
  EXPECT_TRUE(c->Saw(15, Status60(1001, 4, polish60)));
  a.Command("notify 1002 1003");
  EXPECT_TRUE(a.Saw("notify 1003 4 " + Hex(kPolish))) << a.Unseen();

  // The newest dialect asks for encryption if available: TLS on port 443, a session like the others.
  auto b = std::make_unique<TLibgaduPeer>(1002, kProtocol110, "127.0.0.1", 4, kRussian, 1);
  ASSERT_TRUE(b->Saw("connected")) << b->Unseen();
  EXPECT_TRUE(a.Saw("status 1002 4 " + Hex(kRussian))) << a.Unseen();
  EXPECT_TRUE(c->Saw(15, Status60(1002, 4, russian60)));
  b->Command("notify 1001 1003");
  EXPECT_TRUE(b->Saw("notify 1001 4 " + Hex(kPolish))) << b->Unseen();
  EXPECT_TRUE(b->Saw("notify 1003 4 " + Hex(kPolish))) << b->Unseen();
  // The 6.0 notify reply: each description status followed by its length and description.
  c->Send(16, Le(1001) + "\x03" + Le(1002) + "\x03");
  EXPECT_TRUE(c->Saw(17, Status60(1001, 4, std::string(1, static_cast<char>(polish60.size())) + polish60) +
                             Status60(1002, 4, "\x08" + russian60)));

  // Messages both ways between every pair; text only Windows-1250 cannot hold is lost, and only
  // towards the 6.0 client.
  a.Command("msg 1002 " + Hex(kBoth));
  EXPECT_TRUE(b->Saw("msg 1001 8 " + Hex(kBoth))) << b->Unseen();
  EXPECT_TRUE(a.Saw("ack 1002 2 *")) << a.Unseen();
  b->Command("msg 1001 " + Hex(kBoth));
  EXPECT_TRUE(a.Saw("msg 1002 8 " + Hex(kBoth))) << a.Unseen();
  EXPECT_TRUE(b->Saw("ack 1001 2 *")) << b->Unseen();
  // A pasted log (66 KB in one packet from libgadu) goes whole; past what one packet to a newer
  // client holds, it is refused and its sender stays. (libgadu over TLS sends what passes one
  // record in the clear, so the long ones come from the plain client.)
  a.Command("msg 1002 " + Hex(std::string(33000, 'l')));
  EXPECT_TRUE(b->Saw("msg 1001 8 " + Hex(std::string(33000, 'l')))) << b->Unseen().substr(0, 200);
  a.Command("msg 1002 " + Hex(std::string(70000, 'l')));
  EXPECT_TRUE(a.Saw("ack 1002 1 *")) << a.Unseen();
  a.Command("msg 1003 " + Hex(kBoth));
  b->Command("msg 1003 " + Hex(kBoth));
  bool fromA = false, fromB = false;  // two processes: either may come first
  EXPECT_TRUE(c->SawWhere([&](int32_t Type, const std::string& P) {
    fromA = fromA || Message60(1001, polish60 + " " + russian60)(Type, P);
    fromB = fromB || Message60(1002, polish60 + " " + russian60)(Type, P);
    return fromA && fromB;
  }));
  c->Send(11, Le(1001) + Le(7) + Le(8) + polish60 + std::string(1, '\0'));
  EXPECT_TRUE(c->Saw(5, Le(2) + Le(1003) + Le(7)));
  c->Send(11, Le(1002) + Le(8) + Le(8) + polish60 + std::string(1, '\0'));
  EXPECT_TRUE(c->Saw(5, Le(2) + Le(1003) + Le(8)));
  EXPECT_TRUE(a.Saw("msg 1003 4 " + Hex(kPolish))) << a.Unseen();
  EXPECT_TRUE(b->Saw("msg 1003 4 " + Hex(kPolish))) << b->Unseen();
  c->Send(11, Le(1002) + Le(9) + Le(8) + "1 < 2 & \"3\" > 0\r\nkoniec" + std::string(1, '\0'));
  // Markup characters arrive as written; the HTML part's line break reads as LF.
  EXPECT_TRUE(b->Saw("msg 1003 4 " + Hex("1 < 2 & \"3\" > 0\nkoniec"))) << b->Unseen();
  b->Command("typing 1001 5");
  EXPECT_TRUE(a.Saw("typing 1002 5")) << a.Unseen();

  // A contact list stored in parts and fetched back whole.
  const std::string list = ContactList();
  a.Command("put " + Hex(list));
  EXPECT_TRUE(a.Saw("userlist 0 -")) << a.Unseen();
  a.Command("get");
  EXPECT_TRUE(a.Saw("userlist 6 " + Hex(list))) << a.Unseen();

  b->Command("status 5 " + Hex("Zajęty"));
  EXPECT_TRUE(a.Saw("status 1002 5 " + Hex("Zajęty"))) << a.Unseen();
  EXPECT_TRUE(c->Saw(15, Status60(1002, 5, Utf8ToCp1250("Zajęty"))));

  // Going offline: by closing (the 6.0 client, then the 11 one), and by logging off (8.0).
  c.reset();
  EXPECT_TRUE(a.Saw("status 1003 1 -")) << a.Unseen();
  EXPECT_TRUE(b->Saw("status 1003 1 -")) << b->Unseen();
  c = std::make_unique<TGgWirePeer>();
  LogIn60(*c, 1003, 2, "");
  EXPECT_TRUE(a.Saw("status 1003 2 -")) << a.Unseen();
  b->Quit();
  EXPECT_TRUE(a.Saw("status 1002 1 -")) << a.Unseen();
  EXPECT_TRUE(c->Saw(15, Status60(1002, 1)));
  b = std::make_unique<TLibgaduPeer>(1002, kProtocol110, "127.0.0.1", 2, "", 1);
  ASSERT_TRUE(b->Saw("connected")) << b->Unseen();
  EXPECT_TRUE(c->Saw(15, Status60(1002, 2)));
  a.Command("status 21 " + Hex("pa"));
  EXPECT_TRUE(a.Saw("disconnect_ack")) << a.Unseen();
  EXPECT_TRUE(b->Saw("status 1001 21 " + Hex("pa"))) << b->Unseen();
  EXPECT_TRUE(c->Saw(15, Status60(1001, 21, "pa")));

  EXPECT_EQ(program.Stop(SIGTERM), 0);
  // Every packet the clients sent was understood, read whole and logged in its own words.
  const std::string& log = program.Out;
  EXPECT_EQ(log.find("<żądanie"), std::string::npos) << log;
  EXPECT_EQ(log.find("błędna paczka"), std::string::npos) << log;
  EXPECT_EQ(log.find("nieudane połączenie szyfrowane"), std::string::npos) << log;
  for (const char* line :
       {">logowanie użytkownika 1001 (protokół 8.0)\n", ">logowanie użytkownika 1002 (protokół 11)\n",
        "1001>wypowiedź dla 1002 o treści \"zażółć gęślą jaźń ?????? ?\"\n",
        "<użytkownik 1003 rozłączył się bez wylogowania\n", "1002>powiadomienie o pisaniu dla 1001"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_EQ(program.Err, "");
}

// One number on two libgadu sessions: messages reach the first; when one logs off (with a
// description) the others see the one that stays; when the first vanishes and comes back on a
// new connection, its old connection is found gone within seconds and messages reach the new
// one; nobody ever sees the person go offline until they go invisible (the status words with
// libgadu's flag of a description).
TEST_F(ProgramTest, TwoSessionsOnOneNumberAndAReconnectAfterAVanish) {
  test::TVanishingLink link;
  if (!PrivateNetwork || !link.Valid()) GTEST_SKIP() << "needs root: network namespaces and a veth pair of its own";
  TProgram program(Home, {"--headless"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }));
  TLibgaduPeer w(1001, kProtocol110, "127.0.0.1", 2, "");
  ASSERT_TRUE(w.Saw("connected")) << w.Unseen();
  std::unique_ptr<TLibgaduPeer> laptop;
  link.InFar(
      [&] { laptop = std::make_unique<TLibgaduPeer>(1002, kProtocol80, test::TVanishingLink::kNear, 4, "laptop"); });
  ASSERT_TRUE(laptop->Saw("connected")) << laptop->Unseen();
  EXPECT_TRUE(w.Saw("status 1002 4 " + Hex("laptop"))) << w.Unseen();
  TLibgaduPeer desk(1002, kProtocol110, "127.0.0.1", 2, "");
  ASSERT_TRUE(desk.Saw("connected")) << desk.Unseen();
  EXPECT_TRUE(w.Saw("status 1002 2 -")) << w.Unseen();
  w.Command("msg 1002 " + Hex("do laptopa"));
  EXPECT_TRUE(laptop->Saw("msg 1001 8 " + Hex("do laptopa"))) << laptop->Unseen();
  desk.Command("status 0x4015 " + Hex("pa"));
  EXPECT_TRUE(desk.Saw("disconnect_ack")) << desk.Unseen();
  EXPECT_TRUE(w.Saw("status 1002 4 " + Hex("laptop"))) << w.Unseen();

  link.Drop();
  TLibgaduPeer back(1002, kProtocol110, "127.0.0.1", 2, "");
  ASSERT_TRUE(back.Saw("connected")) << back.Unseen();
  EXPECT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) {
    return out.find("<użytkownik 1002 nie odpowiada, połączenie zamknięte\n") != std::string::npos;
  })) << program.Out;
  w.Command("msg 1002 " + Hex("z powrotem"));
  EXPECT_TRUE(back.Saw("msg 1001 8 " + Hex("z powrotem"))) << back.Unseen();
  EXPECT_TRUE(w.Saw("ack 1002 2 *")) << w.Unseen();
  EXPECT_EQ(w.Unseen().find("status 1002 1"), std::string::npos) << w.Unseen();
  EXPECT_EQ(w.Unseen().find("status 1002 21"), std::string::npos) << w.Unseen();
  back.Command("status 0x4016 " + Hex("ukryty"));
  EXPECT_TRUE(w.Saw("status 1002 21 " + Hex("ukryty"))) << w.Unseen();
  EXPECT_EQ(program.Stop(SIGTERM), 0);
}

// libgadu with no server set asks the network's server-address host on port 80 where to go;
// with that name on this machine, both dialects find the program and log in.
TEST_F(ProgramTest, LibgaduFindsTheServerThroughTheServerAddressRequest) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  const std::string hosts = (Home / "hosts").string();
  std::ofstream(hosts) << "127.0.0.1\tlocalhost\n127.0.0.1\tappmsg.gadu-gadu.pl\n";
  if (!UseHostsFile(hosts)) GTEST_SKIP() << "needs a mount namespace of its own (root)";
  Store("[ustawienia]\nadres=127.0.0.1\n");
  TProgram program(Home, {"--headless"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }))
      << program.Out << program.Err;

  TLibgaduPeer a(1001, kProtocol110, "hub", 2, "");
  ASSERT_TRUE(a.Saw("connected")) << a.Unseen();
  TLibgaduPeer b(1002, kProtocol80, "hub", 4, kPolish);
  ASSERT_TRUE(b.Saw("connected")) << b.Unseen();
  EXPECT_TRUE(a.Saw("status 1002 4 " + Hex(kPolish))) << a.Unseen();
  // Asking for encryption, it is sent to port 443, which it reaches only with TLS.
  TLibgaduPeer c(1003, kProtocol110, "hub", 2, "", 1);
  ASSERT_TRUE(c.Saw("connected")) << c.Unseen();
  EXPECT_TRUE(a.Saw("status 1003 2 -")) << a.Unseen();

  EXPECT_EQ(program.Stop(SIGTERM), 0);
  EXPECT_NE(program.Out.find(">logowanie użytkownika 1001 (protokół 11)\n"), std::string::npos) << program.Out;
  EXPECT_NE(program.Out.find(">logowanie użytkownika 1002 (protokół 8.0)\n"), std::string::npos) << program.Out;
  EXPECT_EQ(::umount("/etc/hosts"), 0);
}

}  // namespace
}  // namespace ordwin
