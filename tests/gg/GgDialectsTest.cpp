// The GG session with clients of every generation: 6.0, 8.0 (login 0x31) and 11 (login 0x83).
#include "gg/GgSession.h"

#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gg/Cp1250.h"
#include "gg/GgServerPackets.h"
#include "tests/gg/GgSessionFixture.h"
#include "tests/gg/GgTestPeer.h"

namespace ordwin {
namespace {

using test::Bytes;
using test::TGgPacket;
using test::TGgTestPeer;
using test::L;
using test::Le;
using test::PumpUntil;
using test::Status60;

// ---- client packets, as the newer clients lay them out ----

std::string Login80(int32_t uin, int32_t status, const std::string& description) {
  const std::string version = "Gadu-Gadu Client Build 10.1.0.11070";
  std::string p = Le(uin) + "pl" + std::string(1, '\2') + std::string(64, '\0') + Le(status) + Le(0x00800001) +
                  Le(0x2737) + std::string(12, '\0') + Bytes({0, 0x64});
  return p + Le(static_cast<int32_t>(version.size())) + version + Le(static_cast<int32_t>(description.size())) +
         description;
}

// A protocol-buffers field: key, the length as a varint, then the value's bytes.
std::string Field(int number, const std::string& bytes) {
  std::string field(1, static_cast<char>(number << 3 | 2));
  size_t n = bytes.size();
  for (; n >= 0x80; n >>= 7) field += static_cast<char>((n & 0x7F) | 0x80);
  return field + static_cast<char>(n) + bytes;
}
std::string VarintField(int number, int value) {
  return std::string(1, static_cast<char>(number << 3)) + std::string(1, static_cast<char>(value));
}
std::string PackedUin(int32_t uin) {
  std::string digits = std::to_string(uin);
  return "\x01" + std::string(1, static_cast<char>(digits.size())) + digits;
}

std::string Login110(int32_t uin, int32_t status, const std::string& description) {
  return Field(1, "pl") + Field(2, PackedUin(uin)) + Field(3, std::string(20, 'h')) + "\x45" + Le(status) +
         Field(9, description) + Field(11, "avatar,StatusComments");
}

std::string Status80(int32_t status, const std::string& description) {
  return Le(status) + Le(0x14) + Le(static_cast<int32_t>(description.size())) + description + std::string(1, '\0');
}

std::string SendMsg80(int32_t to, int32_t seq, const std::string& html, const std::string& plain,
                      const std::string& attrs) {
  int32_t plainAt = static_cast<int32_t>(20 + html.size() + 1);
  int32_t attrAt = static_cast<int32_t>(plainAt + plain.size() + 1);
  return Le(to) + Le(seq) + Le(8) + Le(plainAt) + Le(attrAt) + html + std::string(1, '\0') + plain +
         std::string(1, '\0') + attrs;
}

std::string SendMsg110(int32_t to, int32_t seq, const std::string& plain, const std::string& html) {
  std::string p = Field(1, PackedUin(to)) + VarintField(2, 8) + VarintField(3, seq);
  if (!plain.empty()) p += Field(5, plain);
  if (!html.empty()) p += Field(6, html);
  return p;
}

std::string Notify110(std::initializer_list<int32_t> numbers) {
  std::string p;
  for (int32_t n : numbers) p += std::string(1, '\0') + PackedUin(n).substr(1) + "\x03";
  return p;
}

// ---- what the server sends ----

std::string Status80Entry(int32_t uin, int32_t code, const std::string& utf8) {
  return Le(uin) + Le(code) + std::string(16, '\0') + Le(static_cast<int32_t>(utf8.size())) + utf8;
}

// The parts of a received 0x2e message, its offsets checked.
struct TMessage80 {
  int32_t From = -1, Seq = -1, Time = -1, Class = -1;
  std::string Html, Plain, Attrs;
};

TMessage80 ReadMessage80(const TGgPacket& p) {
  EXPECT_EQ(p.Type, 0x2e);
  TMessage80 m;
  const std::string& s = p.Payload;
  if (s.size() < 24) return m;
  m.From = LeBytesToInt(s, 0);
  m.Seq = LeBytesToInt(s, 4);
  m.Time = LeBytesToInt(s, 8);
  m.Class = LeBytesToInt(s, 12);
  size_t plainAt = static_cast<size_t>(LeBytesToInt(s, 16));
  size_t attrAt = static_cast<size_t>(LeBytesToInt(s, 20));
  EXPECT_LE(plainAt, attrAt);
  EXPECT_LE(attrAt, s.size());
  if (plainAt > attrAt || attrAt > s.size() || plainAt < 25) return m;
  EXPECT_EQ(s[plainAt - 1], '\0');
  EXPECT_EQ(s[attrAt - 1], '\0');
  m.Html = s.substr(24, plainAt - 25);
  m.Plain = s.substr(plainAt, attrAt - plainAt - 1);
  m.Attrs = s.substr(attrAt);
  return m;
}

class GgDialectsTest : public test::GgSessionTest {
protected:
  // A client of each generation: 6.0 (100), 8.0 (200) and 11 (300), the news of the later
  // log-ins taken, and the log emptied.
  struct TEveryGeneration {
    TGgTestPeer Old, A, B;
  };
  TEveryGeneration ConnectEveryGeneration() {
    TEveryGeneration all{Connected(100), Connected80(200), Connected110(300)};
    (void)all.Old.Unread();
    (void)all.A.Unread();
    Log.clear();
    return all;
  }

  TGgTestPeer Connected80(int32_t uin, int32_t status = 2, const std::string& description = "") {
    TGgTestPeer peer = Connect();
    peer.Send(0x31, Login80(uin, status, description));
    EXPECT_EQ(peer.Next().Type, 3);
    return peer;
  }
  TGgTestPeer Connected110(int32_t uin, int32_t status = 2, const std::string& description = "") {
    TGgTestPeer peer = Connect();
    peer.Send(0x83, Login110(uin, status, description));
    EXPECT_EQ(peer.Next().Type, 3);
    return peer;
  }
};

TEST_F(GgDialectsTest, TheLoginChoosesTheDialectAndTheOthersAreToldTheStatusItBrings) {
  TGgTestPeer old = Connected(100);
  Log.clear();
  TGgTestPeer a = Connect();
  a.Send(0x31, Login80(200, 4, "zażółć"));
  std::string answer;
  ASSERT_TRUE(PumpUntil([&] { return (answer += test::ReadAvailable(a.Fd())).size() >= 8; }));
  EXPECT_EQ(answer, Bytes({3, 0, 0, 0, 0, 0, 0, 0}));
  TGgPacket told = old.Next();
  EXPECT_EQ(told.Type, 15);
  EXPECT_EQ(told.Payload, Status60(200, 4, L("zażółć")));
  EXPECT_EQ(Log, (std::vector<std::string>{L(">powitanie"), L(">logowanie użytkownika 200 (protokół 8.0)"),
                                           L("<użytkownik zalogowany"), L("200>status przy logowaniu 4 \"zażółć\"")}));

  TGgTestPeer b = Connected110(300, 5, "Привет");
  EXPECT_EQ(old.Next().Payload, Status60(300, 5, "??????"));
  TGgPacket toA = a.Next();
  EXPECT_EQ(toA.Type, 0x36);
  EXPECT_EQ(toA.Payload, Status80Entry(300, 5, "Привет"));
  EXPECT_EQ(Log[Log.size() - 3], L(">logowanie użytkownika 300 (protokół 11)"));
  // Logging in hidden or not available is news to nobody.
  TGgTestPeer hidden = Connected110(400, 0x16, "x");
  TGgTestPeer away = Connected80(500, 1);
  EXPECT_EQ(Log.back(), L("500>status przy logowaniu 1 \"\""));

  // Each dialect's own packet types only: the others are unknown, as they always were.
  Log.clear();
  old.Send(0x38, Status80(2, ""));
  old.Send(13, Le(200) + "\x03");
  ASSERT_TRUE(WaitLog(2));
  b.Send(2, Le(2));
  ASSERT_TRUE(WaitLog(3));
  a.Send(0x77, Notify110({100}));
  ASSERT_TRUE(WaitLog(4));
  EXPECT_EQ(Log, (std::vector<std::string>{L("<żądanie 56 ") + Status80(2, ""), L("<żądanie 13 ") + Le(200) + "\x03",
                                           L("<żądanie 2 ") + Le(2), L("<żądanie 119 ") + Notify110({100})}));
  EXPECT_EQ(old.Unread() + a.Unread() + b.Unread() + hidden.Unread(), "");

  // A new login on the connection brings its dialect: now a reads 6.0 packets.
  a.Send(21, Le(200));
  EXPECT_EQ(a.Next().Type, 3);
  b.Send(0x38, Status80(2, ""));
  EXPECT_EQ(a.Next().Payload, Status60(300, 2));
}

TEST_F(GgDialectsTest, StatusChangesReachEveryClientInItsDialect) {
  TGgTestPeer old = Connected(100);
  TGgTestPeer a = Connected80(200);
  EXPECT_EQ(old.Next().Type, 15);
  TGgTestPeer b = Connected110(300);
  EXPECT_EQ(old.Next().Type, 15);
  EXPECT_EQ(a.Next().Type, 0x36);
  Log.clear();

  b.Send(0x38, Status80(5, "Zajęty, Привет"));
  EXPECT_EQ(old.Next().Payload, Status60(300, 5, L("Zajęty, ??????")));
  EXPECT_EQ(a.Next().Payload, Status80Entry(300, 5, "Zajęty, Привет"));
  EXPECT_EQ(Log, (std::vector<std::string>{
                     L("300>jestem zajęty (paczka o długości 34)"),
                     L("300>użytkownik zmienił status na 5 z opisem \"Zajęty, ??????\" (paczka o długości 34)")}));

  // A 6.0 description ends at its NUL (a return time may follow); it crosses as UTF-8.
  old.Send(2, Le(4) + L("zażółć") + std::string(1, '\0') + Le(1700000000));
  EXPECT_EQ(a.Next().Payload, Status80Entry(100, 4, "zażółć"));
  EXPECT_EQ(b.Next().Payload, Status80Entry(100, 4, "zażółć"));

  // Hidden and friends-only as the 6.0 clients have them; the server's word to the sender
  // comes in its own dialect.
  a.Send(0x38, Status80(0x8016, "x"));
  TMessage80 note = ReadMessage80(a.Next());
  EXPECT_EQ(note.From, 0);
  EXPECT_EQ(note.Plain, L("Serwer nie rozróżnia przyjaciół od reszty"));
  EXPECT_EQ(note.Html, "<span>Serwer nie rozróżnia przyjaciół od reszty</span>");
  EXPECT_EQ(old.Next().Payload, Status60(200, 21, "x"));
  EXPECT_EQ(b.Next().Payload, Status80Entry(200, 21, "x"));
  EXPECT_EQ(a.Unread() + b.Unread() + old.Unread(), "");
}

// A status is its low byte whatever flags a newer client sets above it (0x4000: a description,
// 0x0100: an image); a 6.0 client hears of the states it does not know as the nearest it knows,
// in notifications and notify replies alike; a log-off with a description is answered and told.
TEST_F(GgDialectsTest, StatusFlagsChangeNothingAndSixPointOhHearsStatesItKnows) {
  auto [old, a, b] = ConnectEveryGeneration();
  // The word sent; told to 6.0 and newer clients; in a 6.0 notify reply (hidden stays hidden).
  const int cases[][4] = {{0x4014, 1, 1, 0x14}, {0x4116, 0x15, 0x15, 0x16}, {0x4104, 4, 4, 4},   {0x17, 2, 0x17, 2},
                          {0x4018, 4, 0x18, 4}, {0x21, 3, 0x21, 3},         {0x4022, 5, 0x22, 5}};
  std::string reply;  // a 6.0 reply keeps what earlier lists found
  for (const auto& [word, to60, toNewer, inReply] : cases) {
    b.Send(0x38, Status80(word, "d"));
    EXPECT_EQ(old.Next().Payload, Status60(300, to60, "d")) << word;
    EXPECT_EQ(a.Next().Payload, Status80Entry(300, toNewer, "d")) << word;
    old.Send(16, Le(300) + "\x03");
    reply += Status60(300, inReply,
                      HasDescription(inReply) ? "\x01"
                                                "d"
                                              : "");
    EXPECT_EQ(old.Next().Payload, reply) << word;
  }
  a.Send(0x38, Status80(0x4015, "pa"));
  EXPECT_EQ(a.Next().Type, 0x0d);
  EXPECT_TRUE(a.WaitEnded());
  EXPECT_EQ(old.Next().Payload, Status60(200, 0x15, "pa"));
  EXPECT_EQ(b.Next().Payload, Status80Entry(200, 0x15, "pa"));
}

// No packet passes 65,535 bytes: a 6.0 notification carries as much of a description as fits,
// also to a newer client whose login is not read yet (it counts as 6.0 until then).
TEST_F(GgDialectsTest, ANotificationTakesAsMuchOfADescriptionAsFits) {
  TGgTestPeer old = Connected(100);
  TGgTestPeer pending = Connect();
  TGgTestPeer b = Connected110(300);
  EXPECT_EQ(pending.Next().Payload, Status60(300, 2));
  (void)old.Unread();
  const std::string description(65530, 'd');
  old.Send(2, Le(4) + description);
  EXPECT_EQ(pending.Next().Payload, Status60(100, 4, description.substr(0, 65535 - 14)));
  b.Send(0x38, Status80(4, description.substr(0, 65536 - 13)));
  EXPECT_EQ(old.Next().Payload, Status60(300, 4, description.substr(0, 65535 - 14)));
}

// A second login on a logged-in connection, in any dialect, is the old number's log-off and a
// new login: the others are told the old number left, also when the new login is hidden.
TEST_F(GgDialectsTest, ALoginAgainOnOneConnectionLogsTheOldNumberOff) {
  TGgTestPeer watcher = Connected(900);
  auto login = [](int32_t type, int32_t uin, int32_t status) {
    return type == 21 ? Le(uin) : type == 0x31 ? Login80(uin, status, "") : Login110(uin, status, "");
  };
  for (int32_t type : {21, 0x31, 0x83}) {
    TGgTestPeer x = Connect();
    x.Send(type, login(type, 1000 + type, 2));
    if (type == 21) x.Send(2, Le(2));
    EXPECT_EQ(watcher.Next().Payload, Status60(1000 + type, 2));
    x.Send(type, login(type, 2000 + type, 0x14));
    EXPECT_EQ(watcher.Next().Payload, Status60(1000 + type, 1)) << type;
    EXPECT_EQ(watcher.Unread(), "") << type;
  }
}

// Going offline: by a log-off status (a newer client is answered with 0x0d before its
// connection closes), or by just closing while the others see it available.
TEST_F(GgDialectsTest, EveryClientSeesTheOthersGoOfflineInItsDialect) {
  TGgTestPeer old = Connected(100);
  old.Send(2, Le(4));
  TGgTestPeer a = Connected80(200, 4, "jestem");
  TGgTestPeer b = Connected110(300, 2);
  (void)old.Unread();
  (void)a.Unread();
  Log.clear();

  a.Send(0x38, Status80(0x15, "pa"));
  std::string ack;
  ASSERT_TRUE(PumpUntil([&] { return (ack += test::ReadAvailable(a.Fd())).size() >= 8; }));
  EXPECT_EQ(ack + a.Unread(), Bytes({0x0d, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(a.WaitEnded());
  EXPECT_EQ(old.Next().Payload, Status60(200, 0x15, "pa"));
  EXPECT_EQ(b.Next().Payload, Status80Entry(200, 0x15, "pa"));

  b.Close();
  EXPECT_EQ(old.Next().Payload, Status60(300, 1));
  TGgTestPeer c = Connected110(400, 2);
  EXPECT_EQ(old.Next().Type, 15);
  old.Close();
  EXPECT_EQ(c.Next().Payload, Status80Entry(100, 1, ""));  // the 6.0 client's last word was 4
  ASSERT_TRUE(PumpUntil([&] { return Session->RIDuziva().SocketServer()->CountClients() == 1; }));
  EXPECT_EQ(Log, (std::vector<std::string>{
                     L("200>wyloguj mnie (paczka o długości 15)"),
                     L("200>użytkownik zmienił status na 15 z opisem \"pa\" (paczka o długości 15)"),
                     L("<użytkownik 300 rozłączył się bez wylogowania"), L(">powitanie"),
                     L(">logowanie użytkownika 400 (protokół 11)"), L("<użytkownik zalogowany"),
                     L("400>status przy logowaniu 2 \"\""), L("<użytkownik 100 rozłączył się bez wylogowania")}));
}

TEST_F(GgDialectsTest, MessagesCrossDialectsWithTheirTextConverted) {
  auto [old, a, b] = ConnectEveryGeneration();

  // 6.0 to 8.0: the acknowledgement as always; the text in both parts, the HTML escaped.
  old.Send(11, Le(200) + Le(7) + Le(8) + L("zażółć <b>") + std::string(1, '\0'));
  EXPECT_EQ(old.Next().Payload, Le(2) + Le(100) + Le(7));
  int32_t now = static_cast<int32_t>(std::time(nullptr));
  TMessage80 m = ReadMessage80(a.Next());
  EXPECT_EQ(m.From, 100);
  EXPECT_GE(m.Seq, 0);
  EXPECT_NEAR(m.Time, now, 5);
  EXPECT_EQ(m.Class, 4);
  EXPECT_EQ(m.Html, "<span>zażółć &lt;b&gt;</span>");
  EXPECT_EQ(m.Plain, L("zażółć <b>"));
  EXPECT_EQ(m.Attrs, "");

  // 8.0 to 11: HTML and formatting pass unchanged; a newer acknowledgement names the recipient.
  const std::string attrs = Bytes({0x02, 0x06, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00});
  a.Send(0x2d, SendMsg80(300, 9, "<i>Привет</i>", "??????", attrs));
  EXPECT_EQ(a.Next().Payload, Le(2) + Le(300) + Le(9));
  m = ReadMessage80(b.Next());
  EXPECT_EQ(m.From, 200);
  EXPECT_EQ(m.Class, 8);
  EXPECT_EQ(m.Html, "<i>Привет</i>");
  EXPECT_EQ(m.Plain, "??????");
  EXPECT_EQ(m.Attrs, attrs);

  // 11 to 6.0: the plain part, in Windows-1250.
  b.Send(0x7d, SendMsg110(100, 1, "zażółć Привет", "<span>zażółć Привет</span>"));
  EXPECT_EQ(b.Next().Payload, Le(2) + Le(100) + Le(1));
  TGgPacket p = old.Next();
  EXPECT_EQ(p.Type, 10);
  EXPECT_EQ(p.Payload.substr(16), L("zażółć ??????") + std::string(1, '\0'));

  // No plain part: read from the HTML. No HTML part: made from the plain one.
  b.Send(0x7d, SendMsg110(200, 2, "", "<b>1 &lt; 2</b>"));
  EXPECT_EQ(b.Next().Type, 5);
  m = ReadMessage80(a.Next());
  EXPECT_EQ(m.Html, "<b>1 &lt; 2</b>");
  EXPECT_EQ(m.Plain, "1 < 2");
  a.Send(0x2d, SendMsg80(300, 10, "", L("zażółć"), ""));
  EXPECT_EQ(a.Next().Type, 5);
  EXPECT_EQ(ReadMessage80(b.Next()).Html, "<span>zażółć</span>");

  // Nobody with the number: status 1 naming it, and the server's word in the sender's dialect.
  b.Send(0x7d, SendMsg110(999, 3, "halo", ""));
  EXPECT_EQ(b.Next().Payload, Le(1) + Le(999) + Le(3));
  m = ReadMessage80(b.Next());
  EXPECT_EQ(m.From, 0);
  EXPECT_EQ(m.Html, "<span>Użytkownik gdzieś se poszedł. Wiadomość nie zostanie mu przekazana.</span>");

  EXPECT_EQ(Log,
            (std::vector<std::string>{
                L("100>wypowiedź dla 200 o treści \"zażółć <b>\""), L("200>wypowiedź dla 300 o treści \"??????\""),
                L("300>wypowiedź dla 100 o treści \"zażółć ??????\""), L("300>wypowiedź dla 200 o treści \"1 < 2\""),
                L("200>wypowiedź dla 300 o treści \"zażółć\""), L("300>wypowiedź dla 999 o treści \"halo\"")}));
  EXPECT_EQ(old.Unread() + a.Unread() + b.Unread(), "");
}

// A long message goes whole, its plain part cut for a newer recipient, or is refused: the sender
// is told "not delivered", the log says why, and its connection stays.
TEST_F(GgDialectsTest, LongMessagesGoWholeOrAreRefusedAndTheSenderStays) {
  auto [old, a, b] = ConnectEveryGeneration();
  std::string html = "<span>", pasted(33000, 'a');
  for (int i = 0; i < 23000; ++i) html += "Ж";
  b.Send(0x7d, SendMsg110(200, 1, "", html));  // HTML only; its plain part is made and cut
  EXPECT_EQ(b.Next().Payload, Le(2) + Le(200) + Le(1));
  EXPECT_EQ(ReadMessage80(a.Next()).Html, html);
  a.Send(0x2d, SendMsg80(300, 2, "<b>" + pasted, pasted, ""));  // a pasted log: 66 KB in one packet
  EXPECT_EQ(a.Next().Payload, Le(2) + Le(300) + Le(2));
  EXPECT_EQ(ReadMessage80(b.Next()).Html, "<b>" + pasted);

  Log.clear();
  b.Send(0x7d, SendMsg110(200, 4, "", "<b>" + std::string(65507, 'h')));  // too long for a newer client
  EXPECT_EQ(b.Next().Payload, Le(1) + Le(200) + Le(4));
  a.Send(0x2d, SendMsg80(300, 5, std::string(100000, 'h'), std::string(100000, 'p'), ""));  // past 128 KiB
  EXPECT_EQ(a.Next().Payload, Le(1) + Le(300) + Le(5));
  b.Send(0x7d, SendMsg110(200, 6, std::string(70000, 'p'), std::string(70000, 'h')));
  EXPECT_EQ(b.Next().Payload, Le(1) + Le(200) + Le(6));
  ASSERT_TRUE(WaitLog(4));
  EXPECT_EQ(
      std::vector<std::string>(Log.begin() + 1, Log.end()),
      (std::vector<std::string>{L("<wypowiedź zbyt długa, nie przekazano"),
                                L("200>wypowiedź dla 300 zbyt długa (paczka o długości 200022), nie przekazano"),
                                L("300>wypowiedź dla 200 zbyt długa (paczka o długości 140019), nie przekazano")}));
  EXPECT_EQ(old.Unread() + a.Unread() + b.Unread(), "");
  EXPECT_EQ(Session->RIDuziva().SocketServer()->CountClients(), 3);  // nobody was closed
}

TEST_F(GgDialectsTest, NotifyListsAreAnsweredInTheAskersDialect) {
  TGgTestPeer old = Connected(100);
  old.Send(2, Le(4) + "opis");
  TGgTestPeer b = Connected110(300, 5, "Zajęty");
  TGgTestPeer a = Connected80(200);
  (void)old.Unread();
  (void)b.Unread();
  Log.clear();

  // An 8.0 client lists in the 6.0 layout, and is answered in 0x37 entries.
  a.Send(16, Le(100) + "\x03" + Le(300) + "\x03" + Le(999) + "\x03");
  TGgPacket reply = a.Next();
  EXPECT_EQ(reply.Type, 0x37);
  EXPECT_EQ(reply.Payload, Status80Entry(100, 4, "opis") + Status80Entry(300, 5, "Zajęty"));
  // An 11 client lists in parts of digits.
  b.Send(0x77, Notify110({100}));
  b.Send(0x78, Notify110({200, 999}));
  reply = b.Next();
  EXPECT_EQ(reply.Type, 0x37);
  EXPECT_EQ(reply.Payload, Status80Entry(100, 4, "opis") + Status80Entry(200, 2, ""));
  // A 6.0 client reads a description after each status that carries one.
  old.Send(16, Le(300) + "\x03" + Le(200) + "\x03");
  reply = old.Next();
  EXPECT_EQ(reply.Type, 17);
  EXPECT_EQ(reply.Payload, Status60(300, 5, "\x06" + L("Zajęty")) + Status60(200, 2));
  b.Send(0x79, "");
  // One contact added: answered with its entry when it is connected; removed: only logged.
  b.Send(0x7b, Notify110({100}));
  EXPECT_EQ(b.Next().Payload, Status80Entry(100, 4, "opis"));
  b.Send(0x7b, Notify110({999}));
  b.Send(0x7c, Notify110({100}));
  a.Send(13, Le(300) + "\x03");
  EXPECT_EQ(a.Next().Payload, Status80Entry(300, 5, "Zajęty"));
  EXPECT_EQ(Log, (std::vector<std::string>{
                     L("200>ostatnie pozycje listy kontaktów"), L("300>kolejne pozycje listy kontaktów"),
                     L("300>ostatnie pozycje listy kontaktów"), L("100>ostatnie pozycje listy kontaktów"),
                     L("300>nie mam nikogo na liście kontaktów"), L("300>dodanie śledzenia użytkownika 100"),
                     L("300>dodanie śledzenia użytkownika 999"), L("300>usunięcie śledzenia użytkownika 100"),
                     L("200>dodanie śledzenia użytkownika 300")}));

  // A reply past what a newer client takes in one packet goes in several, of whole entries.
  std::string many;
  for (int i = 0; i < 2400; ++i) many += Notify110({100});
  b.Send(0x83, Login110(300, 2, ""));
  EXPECT_EQ(b.Next().Type, 3);
  b.Send(0x78, many);
  TGgPacket first = b.Next(), second = b.Next();
  const std::string entry = Status80Entry(100, 4, "opis");
  EXPECT_EQ(first.Payload.size(), 2047 * entry.size());
  EXPECT_EQ(second.Payload.size(), 353 * entry.size());
  EXPECT_EQ(second.Payload.substr(0, entry.size()), entry);
  EXPECT_EQ(b.Unread(), "");

  // A newer client's next list is answered with that list's contacts only, as they are now; a
  // 6.0 client's reply keeps what its earlier lists found.
  (void)a.Unread();
  (void)old.Unread();
  a.Send(16, Le(300) + "\x03");
  EXPECT_EQ(a.Next().Payload, Status80Entry(300, 2, ""));
  old.Send(16, "");
  EXPECT_EQ(old.Next().Payload, Status60(300, 5, "\x06" + L("Zajęty")) + Status60(200, 2));
}

TEST_F(GgDialectsTest, NewerContactListsAreAnsweredPerPartAndComeBackInPartsTheyTake) {
  TGgTestPeer b = Connected110(300);
  Log.clear();
  const std::string part(2047, 'x');
  b.Send(22, std::string(1, '\0') + "zażółć" + part.substr(10));
  b.Send(22, "\x01" + part);
  for (int i = 0; i < 33; ++i) b.Send(22, "\x01" + part);
  EXPECT_EQ(b.Next().Payload, Bytes({0}));
  for (int i = 0; i < 34; ++i) EXPECT_EQ(b.Next().Payload, Bytes({2})) << i;
  EXPECT_EQ(Log[0], L("300>rozpoczęcie ustalenia listy użytkowników \"zażółć") + part.substr(10) + "\"");

  b.Send(22, Bytes({2}));
  const size_t total = 35 * 2047;  // 71,645 bytes: one leading part and the last
  TGgPacket head = b.Next(), tail = b.Next();
  EXPECT_EQ(head.Type, 16);
  EXPECT_EQ(head.Payload.size(), 65535u);
  EXPECT_EQ(head.Payload.substr(0, 11), "\x04zażółć");
  EXPECT_EQ(tail.Type, 16);
  EXPECT_EQ(tail.Payload, "\x06" + std::string(total - 65534, 'x'));
  EXPECT_EQ(b.Unread(), "");
}

TEST_F(GgDialectsTest, TypingGoesOnToNewerClientsAndReceiptsAreLogged) {
  auto [old, a, b] = ConnectEveryGeneration();
  a.Send(0x59, Bytes({5, 0}) + Le(300));
  TGgPacket typing = b.Next();
  EXPECT_EQ(typing.Type, 0x59);
  EXPECT_EQ(typing.Payload, Bytes({5, 0}) + Le(200));
  a.Send(0x59, Bytes({0, 0}) + Le(100));
  a.Send(0x59, Bytes({1, 0}) + Le(999));
  b.Send(0x46, Le(77));
  b.Send(8, "");
  ASSERT_TRUE(WaitLog(5));
  EXPECT_EQ(Log, (std::vector<std::string>{L("200>powiadomienie o pisaniu dla 300 (długość 5)"),
                                           L("200>powiadomienie o pisaniu dla 100 (długość 0)"),
                                           L("200>powiadomienie o pisaniu dla 999 (długość 1)"),
                                           L("300>potwierdzenie odebrania wiadomości 77"), L("300>ciągle jestem")}));
  EXPECT_EQ(old.Unread() + a.Unread() + b.Unread(), "");
}

// Every new packet that cannot be read whole closes the connection that sent it, and only that
// one; under the sanitizers each case also proves that nothing is read outside the packet.
TEST_F(GgDialectsTest, BadInputInEveryNewPacketClosesOnlyThatConnection) {
  TGgTestPeer bystander = Connected(100);
  const std::string never(11, '\x80');
  const struct {
    int Dialect;  // 0: not logged in, 8 or 11
    int32_t Type;
    std::string Payload;
  } cases[] = {
      {0, 0x31, Login80(5, 2, "").substr(0, 100)},
      {0, 0x31, Login80(5, 2, "ab").substr(0, 141)},
      {0, 0x83,
       Field(2,
             "\x01\x03"
             "1x3")},
      {0, 0x83, Field(2, PackedUin(5)).substr(0, 4)},
      {0, 0x83, "\x08" + never},
      {0, 0x83, Field(1, "pl")},
      {8, 0x38, Le(2) + Le(0)},
      {11, 0x38, Le(2) + Le(0) + Le(-1) + "x"},
      {8, 0x2d, Le(200) + Le(1)},
      {8, 0x2d, Le(200) + Le(1) + Le(8) + Le(40) + Le(0) + "<b>"},
      {8, 0x2d, Le(200) + Le(1) + Le(8) + Le(21) + Le(99) + std::string(2, '\0')},
      {11, 0x7d, Field(1, PackedUin(100)).substr(0, 6)},
      {11, 0x7d, Field(1, PackedUin(100)) + "\x10" + never},
      {11, 0x7d,
       Field(1,
             "\x01\x03"
             "10a")},
      {11, 0x77, Bytes({0, 9, '1'})},
      {11, 0x78, Bytes({0, 3, '1', '0', '0'})},
      {11, 0x7b, Bytes({0, 3, 'a', 'b', 'c', 3})},
      {11, 0x7c, Bytes({0})},
      {8, 13, Le(100).substr(0, 3)},
      {8, 0x46, Bytes({1, 2})},
      {11, 0x59, Bytes({5, 0}) + Le(100).substr(0, 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.Type << ", " << c.Payload.size() << " bytes");
    TGgTestPeer sender = c.Dialect == 8 ? Connected80(7, 0) : c.Dialect == 11 ? Connected110(7, 0) : Connect();
    sender.Send(c.Type, c.Payload);
    EXPECT_TRUE(sender.WaitEnded());
    ASSERT_TRUE(PumpUntil([&] { return Session->RIDuziva().SocketServer()->CountClients() == 1; }));
    int32_t uin = c.Dialect == 0 ? 0 : 7;
    EXPECT_EQ(Log.back(), L(std::to_string(uin) + ">błędna paczka " + std::to_string(c.Type) + " o długości " +
                            std::to_string(c.Payload.size()) + ", połączenie zamknięte"));
  }
  // The server goes on serving everybody else.
  (void)bystander.Unread();
  TGgTestPeer b = Connected110(300);
  b.Send(0x7d, SendMsg110(100, 1, "dalej", ""));
  EXPECT_EQ(b.Next().Payload, Le(2) + Le(100) + Le(1));
  TGgPacket p = bystander.Next();
  EXPECT_EQ(p.Type, 15);  // told of the log-in
  p = bystander.Next();
  EXPECT_EQ(p.Type, 10);
  EXPECT_EQ(p.Payload.substr(16), std::string("dalej\0", 6));
}

}  // namespace
}  // namespace ordwin
