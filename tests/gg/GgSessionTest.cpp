#include "gg/GgSession.h"

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gg/Cp1250.h"
#include "gg/GgMessageStore.h"
#include "net/TlsCertificate.h"
#include "tests/gg/GgSessionFixture.h"
#include "tests/gg/GgTestPeer.h"
#include "tests/net/TlsTestClient.h"

namespace ordwin {
namespace {

using test::Bytes;
using test::TGgPacket;
using test::GgPacketBytes;
using test::GgSessionTest;
using test::TGgTestPeer;
using test::L;
using test::Le;
using test::PumpUntil;

// The server's own texts as they go on the wire, in Windows-1250.
const std::string kNoFriendsText = "Serwer nie rozr\xF3\xBFnia przyjaci\xF3\xB3 od reszty";
const std::string kGoneText = "U\xBFytkownik gdzie\x9C se poszed\xB3. Wiadomo\x9C\xE6 nie zostanie mu przekazana.";

// Checks a received-message payload (type 10) with its fresh sequence number, and returns that.
int32_t ExpectReceivedMessage(const TGgPacket& p, int32_t from, const std::string& text) {
  EXPECT_EQ(p.Type, 10);
  EXPECT_EQ(p.Payload.size(), 16 + text.size() + 1);
  EXPECT_EQ(p.Payload.substr(0, 4), Le(from));
  int32_t sequence = LeBytesToInt(p.Payload, 4);
  EXPECT_GE(sequence, 0);
  EXPECT_LE(sequence, 2147483646);
  EXPECT_EQ(p.Payload.substr(8, 8), Bytes({0, 0, 0, 0, 4, 0, 0, 0}));
  EXPECT_EQ(p.Payload.substr(16), text + std::string(1, '\0'));
  return sequence;
}

// A send-message payload: recipient, sequence, class, text bytes as given.
std::string Message(int32_t to, const std::string& sequence, const std::string& text) {
  return Le(to) + sequence + Le(8) + text;
}

TEST_F(GgSessionTest, ANewConnectionGetsOneWelcomePacketWithASeedInRange) {
  TGgTestPeer peer(Port);
  std::string got;
  ASSERT_TRUE(PumpUntil([&] { return (got += test::ReadAvailable(peer.Fd())).size() >= 12; }));
  got += peer.Unread();
  ASSERT_EQ(got.size(), 12u);
  EXPECT_EQ(got.substr(0, 8), Bytes({0x01, 0, 0, 0, 0x04, 0, 0, 0}));
  int32_t seed = LeBytesToInt(got, 8);
  EXPECT_GE(seed, 0);
  EXPECT_LE(seed, 2147483646);
  EXPECT_EQ(Log, (std::vector<std::string>{L(">powitanie")}));
  EXPECT_EQ(Client(0)->Uin(), 0);
}

TEST_F(GgSessionTest, LoginIsAnsweredWithAnEmptyType3AndTellsNobodyElse) {
  TGgTestPeer other = Connect();
  TGgTestPeer peer = Connect();
  Log.clear();
  peer.Send(21, Bytes({0x39, 0x30, 0x00, 0x00}) + "password and more");
  std::string answer;
  ASSERT_TRUE(PumpUntil([&] { return (answer += test::ReadAvailable(peer.Fd())).size() >= 8; }));
  EXPECT_EQ(answer + peer.Unread(), Bytes({0x03, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Log, (std::vector<std::string>{L(">logowanie użytkownika 12345"), L("<użytkownik zalogowany")}));
  EXPECT_EQ(Log[0], ">logowanie u\xBFytkownika 12345");
  EXPECT_EQ(Client(1)->Uin(), 12345);
  EXPECT_EQ(other.Unread(), "");

  // A second login on the same connection replaces the number: the old one logs off (the others
  // are told), the new one starts without a status.
  peer.Send(2, Le(3));
  ASSERT_EQ(other.Next().Type, 15);
  Log.clear();
  peer.Send(21, Le(-7));
  EXPECT_EQ(peer.Next().Type, 3);
  EXPECT_EQ(other.Next().Payload, Bytes({0x39, 0x30, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Client(1)->Uin(), -7);
  EXPECT_EQ(Client(1)->Status, 0u);
  EXPECT_EQ(Log, (std::vector<std::string>{L("<użytkownik 12345 wylogowany przez ponowne logowanie"),
                                           L(">logowanie użytkownika -7"), L("<użytkownik zalogowany")}));
  EXPECT_EQ(other.Unread(), "");
}

TEST_F(GgSessionTest, ShortLoginAndMessagePayloadsReadMissingBytesAsZero) {
  TGgTestPeer recipient = Connected(0x64);
  TGgTestPeer peer = Connect();
  peer.Send(21, Bytes({0x05}));
  EXPECT_EQ(peer.Next().Type, 3);
  EXPECT_EQ(Client(1)->Uin(), 5);
  peer.Send(21, "");
  EXPECT_EQ(peer.Next().Type, 3);
  EXPECT_EQ(Client(1)->Uin(), 0);

  // Recipient from two bytes, sequence from none.
  peer.Send(11, Bytes({0x64, 0x00}));
  TGgPacket ack = peer.Next();
  EXPECT_EQ(ack.Type, 5);
  EXPECT_EQ(ack.Payload, Bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ExpectReceivedMessage(recipient.Next(), 0, "");
  EXPECT_EQ(Log.back(), L("0>wypowiedź dla 100 o treści \"\""));
}

TEST_F(GgSessionTest, FriendsOnlyStatusGetsTheServerMessageAndIsAnnouncedToEveryoneElse) {
  TGgTestPeer sender = Connected(12345);
  TGgTestPeer loggedIn = Connected(777);
  TGgTestPeer anonymous = Connect();
  Log.clear();
  sender.Send(2, Bytes({0x02, 0x80, 0x00, 0x00}));

  ExpectReceivedMessage(sender.Next(), 0, kNoFriendsText);
  const std::string announced = Bytes({0x39, 0x30, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  for (TGgTestPeer* other : {&loggedIn, &anonymous}) {
    TGgPacket p = other->Next();
    EXPECT_EQ(p.Type, 15);
    EXPECT_EQ(p.Payload, announced);
  }
  EXPECT_EQ(Log, (std::vector<std::string>{L("12345>jestem dostępny (paczka o długości 4)"),
                                           L("12345>użytkownik zmienił status na 8002 \"") + "{02}\x80{00}{00}" +
                                               L("\" (paczka o długości 4)")}));
  EXPECT_EQ(Client(0)->Status, 0x8002u);
  EXPECT_EQ(sender.Unread(), "");
  EXPECT_EQ(loggedIn.Unread(), "");
}

TEST_F(GgSessionTest, HiddenStatusesAreAnnouncedAsNotAvailableAndKeepTheConnection) {
  TGgTestPeer sender = Connected(12345);
  TGgTestPeer other = Connected(1);
  Log.clear();

  sender.Send(2, Le(20) + "desc");
  TGgPacket p = other.Next();
  EXPECT_EQ(p.Type, 15);
  EXPECT_EQ(p.Payload, Bytes({0x39, 0x30, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + "desc");
  EXPECT_EQ(Client(0)->Status, 20u);

  sender.Send(2, Le(22) + "d\n");
  p = other.Next();
  EXPECT_EQ(p.Payload, Bytes({0x39, 0x30, 0, 0, 21, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + "d\n");
  EXPECT_EQ(Client(0)->Status, 22u);

  EXPECT_EQ(Log, (std::vector<std::string>{
                     L("12345>ukryj mnie (paczka o długości 8)"),
                     L("12345>użytkownik zmienił status na 14 \"{14}{00}{00}{00}desc\" (paczka o długości 8)"),
                     L("12345>ukryj mnie (paczka o długości 6)"),
                     L("12345>użytkownik zmienił status na 16 \"{16}{00}{00}{00}d{0A}\" (paczka o długości 6)")}));
  EXPECT_EQ(Client(0)->State(), wsConnected);
  EXPECT_EQ(sender.Unread(), "");
}

TEST_F(GgSessionTest, NotAvailableClosesTheSenderThenTellsTheOthers) {
  TGgTestPeer leaving = Connected(100);
  TGgTestPeer staying = Connected(200);
  Log.clear();
  leaving.Send(2, Le(21) + "bye");
  EXPECT_TRUE(leaving.WaitEnded());
  TGgPacket p = staying.Next();
  EXPECT_EQ(p.Type, 15);
  EXPECT_EQ(p.Payload, Bytes({100, 0, 0, 0, 21, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + "bye");
  EXPECT_EQ(Log, (std::vector<std::string>{
                     L("100>wyloguj mnie (paczka o długości 7)"),
                     L("100>użytkownik zmienił status na 15 \"{15}{00}{00}{00}bye\" (paczka o długości 7)")}));
  EXPECT_EQ(leaving.Unread(), "");
}

// Packets behind a status 1 in the same read are still handled once each: the answers to the
// closed sender are dropped, the rest of the work is done.
TEST_F(GgSessionTest, PacketsBehindNotAvailableInTheSameReadAreHandledOnce) {
  TGgTestPeer leaving = Connected(100);
  TGgTestPeer staying = Connected(200);
  Log.clear();
  leaving.SendRaw(GgPacketBytes(2, Le(0x8001)) + GgPacketBytes(11, Message(200, Le(9), std::string("hi\0", 3))) +
                  GgPacketBytes(8, ""));
  EXPECT_TRUE(leaving.WaitEnded());
  // The server's message went out before the close; the answers after it did not.
  ExpectReceivedMessage(leaving.Next(), 0, kNoFriendsText);
  EXPECT_EQ(leaving.Unread(), "");
  EXPECT_EQ(staying.Next().Payload, Bytes({100, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ExpectReceivedMessage(staying.Next(), 100, "hi");
  ASSERT_TRUE(WaitLog(4));
  ASSERT_TRUE(PumpUntil([&] { return Session->RIDuziva().SocketServer()->CountClients() == 1; }));
  EXPECT_EQ(Log, (std::vector<std::string>{
                     L("100>wyloguj mnie (paczka o długości 4)"),
                     L("100>użytkownik zmienił status na 8001 \"") + "{01}\x80{00}{00}" + L("\" (paczka o długości 4)"),
                     L("100>wypowiedź dla 200 o treści \"hi\""), L("100>ciągle jestem")}));
  EXPECT_EQ(staying.Unread(), "");
}

TEST_F(GgSessionTest, BusyAndAvailableWordsAndNoNotificationToTheSameNumber) {
  TGgTestPeer sender = Connected(100);
  TGgTestPeer twin = Connected(100);
  TGgTestPeer other = Connected(200);
  TGgTestPeer anonymous = Connect();
  Log.clear();
  sender.Send(2, Le(4) + "x");
  for (TGgTestPeer* p : {&other, &anonymous})
    EXPECT_EQ(p->Next().Payload, Bytes({100, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + "x");
  sender.Send(2, Le(3));
  sender.Send(2, Le(5));
  for (int code : {3, 5})
    for (TGgTestPeer* p : {&other, &anonymous})
      EXPECT_EQ(p->Next().Payload, Bytes({100, 0, 0, 0, code, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Log, (std::vector<std::string>{
                     L("100>jestem dostępny (paczka o długości 5)"),
                     L("100>użytkownik zmienił status na 4 \"{04}{00}{00}{00}x\" (paczka o długości 5)"),
                     L("100>jestem zajęty (paczka o długości 4)"),
                     L("100>użytkownik zmienił status na 3 \"{03}{00}{00}{00}\" (paczka o długości 4)"),
                     L("100>jestem zajęty (paczka o długości 4)"),
                     L("100>użytkownik zmienił status na 5 \"{05}{00}{00}{00}\" (paczka o długości 4)")}));
  EXPECT_EQ(twin.Unread(), "");
  EXPECT_EQ(sender.Unread(), "");
}

// Status changes reach the clients of a listener that makes objects of a class derived from
// TGgClient just as its own.
class TDerivedGgClient : public TGgClient {
public:
  using TGgClient::TGgClient;
};

TEST_F(GgSessionTest, ClientsOfADerivedClassAreAnnouncedToAsWell) {
  TGgSession derived([](std::string_view, size_t) {});
  derived.RIDuziva().SetPort(0);
  derived.RIDuziva().SetClientClass([](TComponent* owner) -> TWSocketClient* { return new TDerivedGgClient(owner); });
  derived.Start();
  ASSERT_TRUE(derived.RIDuziva().Active());
  int port = std::stoi(derived.RIDuziva().SocketServer()->GetBoundPort());
  TGgTestPeer sender(port), other(port);
  for (auto [peer, uin] : {std::pair{&sender, 100}, std::pair{&other, 200}}) {
    EXPECT_EQ(peer->Next().Type, 1);
    peer->Send(21, Le(uin));
    EXPECT_EQ(peer->Next().Type, 3);
  }
  sender.Send(2, Le(4) + "x");
  EXPECT_EQ(other.Next().Payload, Bytes({100, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + "x");
}

TEST_F(GgSessionTest, AnUnknownStatusCodeIsStoredAndAnnouncedUnchangedWithOnlyTheLastLine) {
  TGgTestPeer sender = Connected(100);
  TGgTestPeer other = Connected(200);
  Log.clear();
  sender.Send(2, Le(0x0107));
  EXPECT_EQ(other.Next().Payload, Bytes({100, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Client(0)->Status, 0x107u);
  sender.Send(2, Le(0x8007));
  ExpectReceivedMessage(sender.Next(), 0, kNoFriendsText);
  EXPECT_EQ(other.Next().Payload, Bytes({100, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Log,
            (std::vector<std::string>{
                L("100>użytkownik zmienił status na 107 \"{07}{01}{00}{00}\" (paczka o długości 4)"),
                L("100>użytkownik zmienił status na 8007 \"") + "{07}\x80{00}{00}" + L("\" (paczka o długości 4)")}));
}

TEST_F(GgSessionTest, ShortStatusPayloadsReadMissingBytesAsZero) {
  TGgTestPeer sender = Connected(100);
  TGgTestPeer other = Connected(200);
  Log.clear();
  sender.Send(2, Bytes({0x02}));
  EXPECT_EQ(other.Next().Payload, Bytes({100, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  sender.Send(2, "");
  EXPECT_EQ(other.Next().Payload, Bytes({100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Client(0)->Status, 0u);
  EXPECT_EQ(Log, (std::vector<std::string>{L("100>jestem dostępny (paczka o długości 1)"),
                                           L("100>użytkownik zmienił status na 2 \"{02}\" (paczka o długości 1)"),
                                           L("100>użytkownik zmienił status na 0 \"\" (paczka o długości 0)")}));
}

TEST_F(GgSessionTest, PingDirectoryAndUnknownTypesAreOnlyLogged) {
  TGgTestPeer peer = Connected(4321);
  TGgTestPeer other = Connected(1);
  Log.clear();
  peer.Send(8, "ignored");
  peer.Send(20, "query");
  peer.Send(99, std::string("a\0b\x01\xB9", 5));
  peer.Send(-3, "");
  ASSERT_TRUE(WaitLog(4));
  EXPECT_EQ(Log, (std::vector<std::string>{L("4321>ciągle jestem"), L("4321>żądanie do katalogu publicznego"),
                                           L("<żądanie 99 ") + std::string("a\0b\x01\xB9", 5), L("<żądanie -3 ")}));
  EXPECT_EQ(peer.Unread(), "");
  EXPECT_EQ(other.Unread(), "");
  // The connection still serves.
  peer.Send(21, Le(1));
  EXPECT_EQ(peer.Next().Type, 3);
}

TEST_F(GgSessionTest, AMessageToAConnectedNumberIsAcknowledgedThenDelivered) {
  TGgTestPeer sender = Connected(100);
  TGgTestPeer recipient = Connected(200);
  TGgTestPeer bystander = Connected(300);
  Log.clear();
  sender.Send(11, Message(200, Bytes({0x04, 0x03, 0x02, 0x01}), std::string("hi\0formatting", 13)));
  TGgPacket ack = sender.Next();
  EXPECT_EQ(ack.Type, 5);
  EXPECT_EQ(ack.Payload, Bytes({0x02, 0, 0, 0, 100, 0, 0, 0, 0x04, 0x03, 0x02, 0x01}));
  ExpectReceivedMessage(recipient.Next(), 100, "hi");
  EXPECT_EQ(Log, (std::vector<std::string>{L("100>wypowiedź dla 200 o treści \"hi\"")}));
  EXPECT_EQ(sender.Unread(), "");
  EXPECT_EQ(recipient.Unread(), "");
  EXPECT_EQ(bystander.Unread(), "");
}

TEST_F(GgSessionTest, AMessageToNobodyGetsStatusOneAndTheServersMessage) {
  TGgTestPeer sender = Connected(100);
  TGgTestPeer bystander = Connected(200);
  Log.clear();
  sender.Send(11, Message(555, Le(-2), std::string("lost\0", 5)));
  TGgPacket ack = sender.Next();
  EXPECT_EQ(ack.Type, 5);
  EXPECT_EQ(ack.Payload, Bytes({0x01, 0, 0, 0, 100, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
  ExpectReceivedMessage(sender.Next(), 0, kGoneText);
  EXPECT_EQ(Log, (std::vector<std::string>{L("100>wypowiedź dla 555 o treści \"lost\"")}));
  EXPECT_EQ(sender.Unread(), "");
  EXPECT_EQ(bystander.Unread(), "");
}

// With a store, what is not kept still gets status 1 and the server's word: past a bound, to
// number 0, from a client not logged in.
TEST_F(GgSessionTest, AMessageThatIsNotKeptGetsStatusOneAndTheServersMessage) {
  char folder[] = "/tmp/ordwin-kept-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  TGgStoreBounds one;
  one.MessagesPerRecipient = 1;
  auto store = TGgMessageStore::Open(
      std::string(folder) + "/w.db", [](std::string_view) {}, std::time(nullptr), one);
  Session->SetMessageStore(store.get());
  TGgTestPeer sender = Connected(100);
  sender.Send(11, Message(500, Le(1), std::string("kept\0", 5)));
  EXPECT_EQ(sender.Next().Payload, Le(3) + Le(100) + Le(1));
  Log.clear();
  for (int32_t to : {500, 0, 600}) {  // past a bound, to number 0, from a client not logged in
    std::optional<TGgTestPeer> anonymous;
    if (to == 600) anonymous.emplace(Connect());
    TGgTestPeer& from = anonymous ? *anonymous : sender;
    from.Send(11, Message(to, Le(2), std::string("x\0", 2)));
    EXPECT_EQ(from.Next().Payload, Le(1) + Le(anonymous ? 0 : 100) + Le(2)) << to;
    ExpectReceivedMessage(from.Next(), 0, kGoneText);
  }
  EXPECT_EQ(Log,
            (std::vector<std::string>{L("100>wypowiedź dla 500 o treści \"x\""),
                                      L("<brak miejsca na wiadomości dla 500"), L("100>wypowiedź dla 0 o treści \"x\""),
                                      L(">powitanie"), L("0>wypowiedź dla 600 o treści \"x\"")}));
  EXPECT_EQ(store->WaitingCount(500) + store->WaitingCount(600), 1u);
  Session->SetMessageStore(nullptr);
  std::filesystem::remove_all(folder);
}

// Only the 2000 bytes from offset 12 are searched for the NUL that ends the text.
TEST_F(GgSessionTest, TheTextEndsAtTheFirstNulWithinTwoThousandBytes) {
  TGgTestPeer sender = Connected(100);
  TGgTestPeer recipient = Connected(200);
  const std::string longest(1999, 'a');
  const struct {
    std::string Text;
    std::string Delivered;
  } cases[] = {
      {longest + std::string(1, '\0'), longest},
      {longest + "b" + std::string(1, '\0'), ""},
      {std::string(3000, 'c'), ""},
      {"", ""},
      {std::string("\0x", 2), ""},
      {std::string("\xB9\xE6\x01\0", 4), "\xB9\xE6\x01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text.size());
    sender.Send(11, Message(200, Le(1), c.Text));
    EXPECT_EQ(sender.Next().Type, 5);
    ExpectReceivedMessage(recipient.Next(), 100, c.Delivered);
    EXPECT_EQ(Log.back(), L("100>wypowiedź dla 200 o treści \"") + c.Delivered + "\"");
  }
}

TEST_F(GgSessionTest, AMessageToOnesOwnNumberGoesToTheFirstConnectionWithIt) {
  TGgTestPeer first = Connected(100);
  TGgTestPeer second = Connected(100);
  first.Send(11, Message(100, Le(1), std::string("me\0", 3)));
  // On one connection the acknowledgement comes before the message.
  EXPECT_EQ(first.Next().Type, 5);
  ExpectReceivedMessage(first.Next(), 100, "me");
  second.Send(11, Message(100, Le(2), std::string("you\0", 4)));
  EXPECT_EQ(second.Next().Payload, Bytes({2, 0, 0, 0, 100, 0, 0, 0, 2, 0, 0, 0}));
  ExpectReceivedMessage(first.Next(), 100, "you");
  EXPECT_EQ(first.Unread(), "");
  EXPECT_EQ(second.Unread(), "");
}

TEST_F(GgSessionTest, BeforeLoginAClientSendsAsNumberZeroAndIsFoundAsZero) {
  TGgTestPeer anonymous = Connect();
  TGgTestPeer recipient = Connected(200);
  Log.clear();
  anonymous.Send(11, Message(200, Le(7), std::string("hej\0", 4)));
  EXPECT_EQ(anonymous.Next().Payload, Bytes({2, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0}));
  ExpectReceivedMessage(recipient.Next(), 0, "hej");
  recipient.Send(11, Message(0, Le(8), std::string("back\0", 5)));
  EXPECT_EQ(recipient.Next().Payload, Bytes({2, 0, 0, 0, 200, 0, 0, 0, 8, 0, 0, 0}));
  ExpectReceivedMessage(anonymous.Next(), 200, "back");
  EXPECT_EQ(Log, (std::vector<std::string>{L("0>wypowiedź dla 200 o treści \"hej\""),
                                           L("200>wypowiedź dla 0 o treści \"back\"")}));
}

// The lookup by number answers "the first connected client in accept order", whatever order
// the numbers were taken in.
TEST_F(GgSessionTest, FindClientByUinAnswersTheFirstConnectedClientInAcceptOrder) {
  TGgTestPeer a = Connected(100);
  TGgTestPeer b = Connected(100);
  TGgTestPeer c = Connected(200);
  TGgTestPeer d = Connect();
  TGgClient *ca = Client(0), *cb = Client(1), *cc = Client(2), *cd = Client(3);
  EXPECT_EQ(Session->FindClientByUin(100), ca);
  EXPECT_EQ(Session->FindClientByUin(200), cc);
  EXPECT_EQ(Session->FindClientByUin(0), cd);
  EXPECT_EQ(Session->FindClientByUin(300), nullptr);

  Login(a, 300);
  EXPECT_EQ(Session->FindClientByUin(100), cb);
  EXPECT_EQ(Session->FindClientByUin(300), ca);
  Login(c, 100);
  EXPECT_EQ(Session->FindClientByUin(200), nullptr);
  EXPECT_EQ(Session->FindClientByUin(100), cb);
  // Back to an earlier number: the earlier connection wins again.
  Login(a, 100);
  EXPECT_EQ(Session->FindClientByUin(100), ca);
  EXPECT_EQ(Session->FindClientByUin(300), nullptr);
  Login(a, 0);
  EXPECT_EQ(Session->FindClientByUin(0), ca);
  EXPECT_EQ(Session->FindClientByUin(100), cb);

  // A closed connection that is still listed is passed over.
  cb->Close();
  ASSERT_EQ(Session->RIDuziva().SocketServer()->CountClients(), 4);
  EXPECT_EQ(Session->FindClientByUin(100), cc);
  ca->Close();
  EXPECT_EQ(Session->FindClientByUin(0), cd);
  ASSERT_TRUE(PumpUntil([&] { return Session->RIDuziva().SocketServer()->CountClients() == 2; }));
  EXPECT_EQ(Session->FindClientByUin(100), cc);
  EXPECT_EQ(Session->FindClientByUin(0), cd);
  Login(d, 100);
  EXPECT_EQ(Session->FindClientByUin(100), cc);
  EXPECT_EQ(Session->FindClientByUin(0), nullptr);

  // And over the wire: a message to 100 reaches the first connected one.
  d.Send(11, Message(100, Le(1), std::string("x\0", 2)));
  EXPECT_EQ(d.Next().Type, 5);
  ExpectReceivedMessage(c.Next(), 100, "x");
  EXPECT_EQ(d.Unread(), "");
}

// A connection that closed in this turn but is not yet released counts as gone.
TEST_F(GgSessionTest, AMessageToAClientThatJustLeftIsAnsweredAsUndelivered) {
  TGgTestPeer leaving = Connected(100);
  TGgTestPeer sender = Connected(200);
  BeforeChunk = [&](TGgClient* c) {
    if (c == Client(1)) Client(0)->Close();
  };
  sender.Send(11, Message(100, Le(5), std::string("late\0", 5)));
  EXPECT_EQ(sender.Next().Payload, Bytes({1, 0, 0, 0, 200, 0, 0, 0, 5, 0, 0, 0}));
  ExpectReceivedMessage(sender.Next(), 0, kGoneText);
  EXPECT_TRUE(leaving.WaitEnded());
  EXPECT_EQ(leaving.Unread(), "");
}

TEST_F(GgSessionTest, AMessageToANumberWhoseFirstConnectionJustLeftGoesToTheNextOne) {
  TGgTestPeer leaving = Connected(100);
  TGgTestPeer twin = Connected(100);
  TGgTestPeer sender = Connected(200);
  BeforeChunk = [&](TGgClient* c) {
    if (c == Client(2)) Client(0)->Close();
  };
  sender.Send(11, Message(100, Le(5), std::string("late\0", 5)));
  EXPECT_EQ(sender.Next().Payload, Bytes({2, 0, 0, 0, 200, 0, 0, 0, 5, 0, 0, 0}));
  ExpectReceivedMessage(twin.Next(), 200, "late");
  EXPECT_TRUE(leaving.WaitEnded());
  EXPECT_EQ(leaving.Unread(), "");
}

// The status notification passes over a closed connection and reaches everybody after it, and
// the status packet is handled once.
TEST_F(GgSessionTest, AClosedConnectionDoesNotStopTheStatusNotification) {
  TGgTestPeer leaving = Connected(100);
  TGgTestPeer sender = Connected(200);
  TGgTestPeer after = Connected(300);
  BeforeChunk = [&](TGgClient* c) {
    if (c == Client(1) && Client(0)->State() == wsConnected) Client(0)->Close();
  };
  Log.clear();
  sender.Send(2, Le(2));
  EXPECT_EQ(after.Next().Payload, Bytes({200, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(leaving.WaitEnded());
  EXPECT_EQ(leaving.Unread(), "");
  sender.Send(8, "");
  ASSERT_TRUE(WaitLog(3));
  EXPECT_EQ(
      Log, (std::vector<std::string>{L("200>jestem dostępny (paczka o długości 4)"),
                                     L("200>użytkownik zmienił status na 2 \"{02}{00}{00}{00}\" (paczka o długości 4)"),
                                     L("200>ciągle jestem")}));
  EXPECT_EQ(after.Unread(), "");
}

// A peer that reset its connection before the server noticed: sending to it finds the loss,
// and the clients after it are still told.
TEST_F(GgSessionTest, APeerThatResetDoesNotStopTheStatusNotification) {
  TGgTestPeer gone = Connected(100);
  TGgTestPeer sender = Connected(200);
  TGgTestPeer after = Connected(300);
  BeforeChunk = [&](TGgClient* c) {
    if (c == Client(1)) gone.Reset();
  };
  Log.clear();
  sender.Send(2, Le(2));
  EXPECT_EQ(after.Next().Payload, Bytes({200, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  BeforeChunk = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return Session->RIDuziva().SocketServer()->CountClients() == 2; }));
  sender.Send(8, "");
  ASSERT_TRUE(WaitLog(3));
  EXPECT_EQ(Log.size(), 3u);
  EXPECT_EQ(Log.back(), L("200>ciągle jestem"));
  EXPECT_EQ(after.Unread(), "");
}

// Leaving without a status 1 is announced as a status 1 would be, once, to every other client;
// not when the others already see it as not available or were never told a status.
TEST_F(GgSessionTest, AClientThatDisconnectsIsAnnouncedAsNotAvailable) {
  TGgTestPeer leaving = Connected(100);
  TGgTestPeer other = Connected(200);
  TGgTestPeer anonymous = Connect();
  leaving.Send(2, Le(4) + "opis");
  EXPECT_EQ(other.Next().Type, 15);
  EXPECT_EQ(anonymous.Next().Type, 15);
  Log.clear();
  leaving.Close();
  for (TGgTestPeer* p : {&other, &anonymous}) {
    TGgPacket gone = p->Next();
    EXPECT_EQ(gone.Type, 15);
    EXPECT_EQ(gone.Payload, Bytes({100, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  }
  EXPECT_EQ(Log, (std::vector<std::string>{L("<użytkownik 100 rozłączył się bez wylogowania")}));

  // Hidden, silent (never sent a status) and never logged in: nothing to withdraw.
  TGgTestPeer hidden = Connected(300);
  hidden.Send(2, Le(22) + "x");
  EXPECT_EQ(other.Next().Type, 15);
  EXPECT_EQ(anonymous.Next().Type, 15);
  TGgTestPeer silent = Connected(400);
  TGgTestPeer stranger = Connect();
  stranger.Send(2, Le(2));
  EXPECT_EQ(other.Next().Type, 15);
  size_t lines = Log.size();
  hidden.Close();
  silent.Reset();
  stranger.Close();
  ASSERT_TRUE(PumpUntil([&] { return Session->RIDuziva().SocketServer()->CountClients() == 2; }));
  EXPECT_EQ(other.Unread(), "");
  EXPECT_EQ(Log.size(), lines);
}

// One number on several connections: messages go to the first; when one goes, by logging off
// or by closing, the others are told the status of one that stays, never that the number left,
// until the last goes.
TEST_F(GgSessionTest, ANumberIsNotShownGoneWhileAnotherOfItsConnectionsStays) {
  TGgTestPeer watcher = Connected(1);
  TGgTestPeer first = Connected(100), second = Connected(100);
  first.Send(2, Le(4) + "a");
  EXPECT_EQ(watcher.Next().Payload, test::Status60(100, 4, "a"));
  second.Send(2, Le(3));
  EXPECT_EQ(watcher.Next().Payload, test::Status60(100, 3));
  watcher.Send(11, Message(100, Le(7), "x" + std::string(1, '\0')));
  EXPECT_EQ(watcher.Next().Payload, Le(2) + Le(1) + Le(7));
  ExpectReceivedMessage(first.Next(), 1, "x");
  first.Send(2, Le(21) + "pa");
  EXPECT_EQ(watcher.Next().Payload, test::Status60(100, 3));
  TGgTestPeer third = Connected(100);
  third.Send(2, Le(2));
  EXPECT_EQ(watcher.Next().Payload, test::Status60(100, 2));
  second.Close();
  EXPECT_EQ(watcher.Next().Payload, test::Status60(100, 2));
  third.Close();
  EXPECT_EQ(watcher.Next().Payload, test::Status60(100, 1));
  EXPECT_EQ(second.Unread(), "");
}

TEST_F(GgSessionTest, DestroyingTheSessionClosesEveryConnection) {
  TGgTestPeer a = Connected(100);
  TGgTestPeer b = Connect();
  Session.reset();
  EXPECT_TRUE(a.WaitEnded());
  EXPECT_TRUE(b.WaitEnded());
  EXPECT_FALSE(test::ConnectTo(Port).Valid());
}

// A recipient that reads nothing: past the unsent bound its messages are answered as for a
// recipient that is not there, and every message acknowledged as delivered reaches it once it
// reads. Nothing acknowledged is dropped with its queue, not even when another packet (a status
// with a long description) no longer fits: that packet is dropped instead.
TEST_F(GgSessionTest, AMessageIsAcknowledgedAsDeliveredOnlyWhenItWillReachTheRecipient) {
  TGgTestPeer sender = Connected(1);
  TGgTestPeer recipient = Connected(2);
  const std::string text(1990, 'm');
  int sent = 0, delivered = 0, refused = 0;
  while (refused < 20 && sent < 20000) {
    for (int i = 0; i < 50; ++i) sender.Send(11, Message(2, Le(++sent), text + '\0'));
    for (int acks = 0; acks < 50;) {
      TGgPacket p;
      ASSERT_TRUE(sender.Receive(p, 10));
      if (p.Type != 5) continue;  // the server's note that goes with a refusal
      ++acks;
      ASSERT_TRUE(LeBytesToInt(p.Payload, 0) == 2 || LeBytesToInt(p.Payload, 0) == 1);
      ++(LeBytesToInt(p.Payload, 0) == 2 ? delivered : refused);
    }
  }
  ASSERT_GT(refused, 0);
  Log.clear();
  sender.Send(2, Le(2) + std::string(3000, 'd'));
  ASSERT_TRUE(WaitLog(2));
  int received = 0;
  for (TGgPacket p; received < delivered && recipient.Receive(p, 10);) received += p.Type == 10;
  EXPECT_EQ(received, delivered);
  sender.Send(11, Message(2, Le(-1), "again"));
  TGgPacket ack;
  while (sender.Receive(ack) && ack.Type != 5) {
  }
  EXPECT_EQ(LeBytesToInt(ack.Payload, 0), 2);
}

// Over TLS a client has the same session as on the plain port, its welcome once the handshake
// is done; the port and a client whose TLS fails are logged.
TEST_F(GgSessionTest, ATlsClientHasTheSameSessionAndFailuresAreLogged) {
  const TTlsCertificatePem pem = MakeSelfSignedCertificate({"localhost"}, 1);
  auto context = TTlsContext::FromPem(pem.Certificate, pem.Key);
  ASSERT_EQ(Session->StartTls(context, 0), "");
  const std::string tlsPort = Session->RIDuziva().SocketServer()->TlsListener()->GetBoundPort();
  EXPECT_EQ(Log, std::vector<std::string>{L("<połączenia szyfrowane (TLS) na porcie " + tlsPort +
                                            ", certyfikat dla localhost, odcisk SHA-256 " + context->Fingerprint())});

  test::TTlsTestClient secure(std::stoi(tlsPort));
  ASSERT_TRUE(secure.Handshake());
  EXPECT_EQ(secure.Read(12).substr(0, 8), Bytes({0x01, 0, 0, 0, 0x04, 0, 0, 0}));
  secure.Send(GgPacketBytes(21, Le(1001)));
  EXPECT_EQ(secure.Read(8), GgPacketBytes(3, ""));
  TGgTestPeer plain = Connected(1002);
  // Packets queued in one turn (those of one read of the plain client's), each longer than one
  // chunk of the send queue, go out gathered and come whole, encrypted and in order.
  std::string burst;
  for (char c : std::string("abcd")) burst += GgPacketBytes(11, Message(1001, Le(8), std::string(1500, c) + '\0'));
  plain.SendRaw(burst);
  const std::string received = secure.Read(4 * 1525);
  ASSERT_EQ(received.size(), 4 * 1525u);
  for (size_t i = 0; i < 4; ++i)
    ExpectReceivedMessage(TGgPacket{LeBytesToInt(received, i * 1525), received.substr(i * 1525 + 8, 1517)}, 1002,
                          std::string(1500, "abcd"[i]));

  Log.clear();
  TDescriptor garbage = test::ConnectTo(std::stoi(tlsPort));
  test::SendAll(garbage.Get(), "GET / HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(WaitLog(2));
  EXPECT_EQ(Log[1], L("<nieudane połączenie szyfrowane z 127.0.0.1: http request"));
}

}  // namespace
}  // namespace ordwin
