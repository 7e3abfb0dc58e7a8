#include "gg/GgSession.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/gg/GgSessionFixture.h"
#include "tests/gg/GgTestPeer.h"

namespace ordwin {
namespace {

using test::Bytes;
using test::TGgPacket;
using test::GgPacketBytes;
using test::TGgTestPeer;
using test::L;
using test::Le;
using test::PumpUntil;

class GgContactsTest : public test::GgSessionTest {};

// A notify-list part: one 5-byte entry per number (the type byte is not read).
std::string NotifyEntries(std::initializer_list<int32_t> numbers) {
  std::string s;
  for (int32_t n : numbers) s += Le(n) + "\x03";
  return s;
}

// The 14-byte reply entry of a contact.
std::string ReplyEntry(int32_t uin, int statusByte) { return Le(uin) + Bytes({statusByte, 0, 0, 0, 0, 0, 0, 0, 0, 0}); }

TEST_F(GgContactsTest, TheLastPartIsAnsweredWithTheConnectedNumbersOnly) {
  TGgTestPeer hundred = Connected(100);
  hundred.Send(2, Le(2));
  TGgTestPeer asker = Connected(12345);
  Log.clear();
  asker.Send(16, NotifyEntries({100, 200}));
  TGgPacket reply = asker.Next();
  EXPECT_EQ(reply.Type, 17);
  EXPECT_EQ(reply.Payload, Bytes({0x64, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Log, (std::vector<std::string>{L("12345>ostatnie pozycje listy kontaktów")}));
  EXPECT_EQ(asker.Unread(), "");
  EXPECT_EQ(hundred.Unread(), "");
}

TEST_F(GgContactsTest, PartsAreCollectedAndAnsweredWhenTheLastComes) {
  TGgTestPeer hundred = Connected(100);
  TGgTestPeer threeHundred = Connected(300);
  threeHundred.Send(2, Le(3));
  EXPECT_EQ(hundred.Next().Type, 15);
  TGgTestPeer asker = Connected(1);
  Log.clear();
  asker.Send(15, NotifyEntries({100}));
  ASSERT_TRUE(WaitLog(1));
  EXPECT_EQ(asker.Unread(), "");
  asker.Send(16, NotifyEntries({300}));
  TGgPacket reply = asker.Next();
  EXPECT_EQ(reply.Type, 17);
  EXPECT_EQ(reply.Payload, ReplyEntry(100, 0) + ReplyEntry(300, 3));
  EXPECT_EQ(
      Log, (std::vector<std::string>{L("1>kolejne pozycje listy kontaktów"), L("1>ostatnie pozycje listy kontaktów")}));
}

TEST_F(GgContactsTest, AnEmptyLastPartIsAnsweredWithAnEmptyReply) {
  TGgTestPeer asker = Connected(1);
  asker.Send(16, "");
  std::string got;
  ASSERT_TRUE(PumpUntil([&] { return (got += test::ReadAvailable(asker.Fd())).size() >= 8; }));
  EXPECT_EQ(got + asker.Unread(), Bytes({0x11, 0, 0, 0, 0, 0, 0, 0}));
}

// The reply shows the low byte of the stored word: hidden stays 20, the friends-only bit goes.
// Available with a description (4) goes on with the description's length, here 0.
TEST_F(GgContactsTest, TheReplyShowsTheStoredStatusByte) {
  TGgTestPeer hidden = Connected(20);
  TGgTestPeer friendsOnly = Connected(40);
  TGgTestPeer silent = Connected(60);
  TGgTestPeer asker = Connected(1);
  hidden.Send(2, Le(20) + "desc");
  EXPECT_EQ(asker.Next().Payload.substr(4, 1), Bytes({1}));
  friendsOnly.Send(2, Le(0x8004));
  EXPECT_EQ(asker.Next().Payload.substr(4, 1), Bytes({4}));
  asker.Send(16, NotifyEntries({20, 40, 60}));
  TGgPacket reply = asker.Next();
  EXPECT_EQ(reply.Type, 17);
  EXPECT_EQ(reply.Payload, ReplyEntry(20, 20) + ReplyEntry(40, 4) + Bytes({0}) + ReplyEntry(60, 0));
}

TEST_F(GgContactsTest, TheReplyKeepsGrowingUntilTheNextLogin) {
  TGgTestPeer hundred = Connected(100);
  TGgTestPeer asker = Connected(1);
  asker.Send(16, NotifyEntries({100}));
  EXPECT_EQ(asker.Next().Payload, ReplyEntry(100, 0));
  asker.Send(16, NotifyEntries({100}));
  EXPECT_EQ(asker.Next().Payload, ReplyEntry(100, 0) + ReplyEntry(100, 0));
  Login(asker, 2);
  asker.Send(16, NotifyEntries({100}));
  EXPECT_EQ(asker.Next().Payload, ReplyEntry(100, 0));
}

// Twice listed, the sender's own number, number 0 (the first client not logged in), and the
// first connection of a shared number.
TEST_F(GgContactsTest, EachListedEntryIsLookedUpOnItsOwn) {
  TGgTestPeer anonymous = Connect();
  TGgTestPeer first = Connected(100);
  TGgTestPeer second = Connected(100);
  second.Send(2, Le(5));
  EXPECT_EQ(anonymous.Next().Type, 15);
  TGgTestPeer asker = Connected(7);
  asker.Send(2, Le(3));
  EXPECT_EQ(anonymous.Next().Type, 15);
  asker.Send(16, NotifyEntries({100, 100, 7, 0, 999}));
  EXPECT_EQ(asker.Next().Payload, ReplyEntry(100, 0) + ReplyEntry(100, 0) + ReplyEntry(7, 3) + ReplyEntry(0, 0));
}

// A trailing entry shorter than 5 bytes is read with its missing bytes as 0.
TEST_F(GgContactsTest, AShortTrailingEntryIsReadWithZeros) {
  TGgTestPeer hundred = Connected(100);
  TGgTestPeer big = Connected(0x00030064);
  TGgTestPeer asker = Connected(1);
  const struct {
    std::string Tail;
    std::string Reply;
  } cases[] = {
      {Le(100), ReplyEntry(100, 0)},
      {Bytes({0x64, 0x00, 0x03}), ReplyEntry(0x00030064, 0)},
      {Bytes({0x64, 0x00}), ReplyEntry(100, 0)},
      {Bytes({0x64}), ReplyEntry(100, 0)},
      {Bytes({0x65}), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Tail.size());
    Login(asker, 1);
    asker.Send(16, NotifyEntries({1}) + c.Tail);
    EXPECT_EQ(asker.Next().Payload, ReplyEntry(1, 0) + c.Reply);
  }
}

TEST_F(GgContactsTest, EmptyListAndRemoveAreOnlyLogged) {
  TGgTestPeer hundred = Connected(100);
  TGgTestPeer asker = Connected(12345);
  size_t lines = Log.size();
  asker.Send(15, NotifyEntries({100}));
  ASSERT_TRUE(WaitLog(lines + 1));
  Log.clear();
  asker.Send(18, "x");
  asker.Send(14, NotifyEntries({100}));
  ASSERT_TRUE(WaitLog(2));
  EXPECT_EQ(Log, (std::vector<std::string>{L("12345>nie mam nikogo na liście kontaktów"),
                                           L(">usunięcie śledzenia użytkownika")}));
  EXPECT_EQ(asker.Unread(), "");
  // Neither emptied the collected reply.
  asker.Send(16, "");
  EXPECT_EQ(asker.Next().Payload, ReplyEntry(100, 0));
  // Status notifications still come after a remove.
  hundred.Send(2, Le(2));
  EXPECT_EQ(asker.Next().Type, 15);
}

// A connection that closed but is not yet released is not reported.
TEST_F(GgContactsTest, AClientThatJustLeftIsNotInTheReply) {
  TGgTestPeer leaving = Connected(100);
  TGgTestPeer asker = Connected(1);
  BeforeChunk = [&](TGgClient* c) {
    if (c == Client(1)) Client(0)->Close();
  };
  asker.Send(16, NotifyEntries({100}));
  std::string got;
  ASSERT_TRUE(PumpUntil([&] { return (got += test::ReadAvailable(asker.Fd())).size() >= 8; }));
  EXPECT_EQ(got + asker.Unread(), Bytes({0x11, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(GgContactsTest, TheContactListIsStoredInPartsAndGivenBack) {
  TGgTestPeer peer = Connected(12345);
  Log.clear();
  peer.Send(22, Bytes({0x00, 0x41}));
  peer.Send(22, Bytes({0x01, 0x42}));
  peer.Send(22, Bytes({0x02}));
  TGgPacket reply = peer.Next();
  EXPECT_EQ(reply.Type, 16);
  EXPECT_EQ(reply.Payload, Bytes({0x06, 0x41, 0x42}));
  EXPECT_EQ(Log, (std::vector<std::string>{L("12345>rozpoczęcie ustalenia listy użytkowników \"A\""),
                                           L("12345>ustalenie kolejnej porcji listy użytkowników \"B\""),
                                           L("12345>pobranie listy użytkowników")}));
  EXPECT_EQ(peer.Unread(), "");

  // A new first part replaces the list; bytes of any value are kept as they came.
  const std::string raw("x\0\xFF\n", 4);
  peer.Send(22, std::string(1, '\0') + raw);
  peer.Send(22, Bytes({0x02, 0x99}));
  EXPECT_EQ(peer.Next().Payload, "\x06" + raw);
  EXPECT_EQ(Log[3], L("12345>rozpoczęcie ustalenia listy użytkowników \"") + raw + "\"");
  // An empty first part empties it; login leaves it alone.
  peer.Send(22, Bytes({0x00}));
  Login(peer, 5);
  peer.Send(22, Bytes({0x01, 0x43}));
  peer.Send(22, Bytes({0x02}));
  EXPECT_EQ(peer.Next().Payload, Bytes({0x06, 0x43}));
}

// A get after other requests gives back the list as they left it: nothing put, a next part
// without a first (appended), unknown kinds (logged, nothing changed), an empty request (no
// log line at all).
TEST_F(GgContactsTest, AGetGivesBackWhatTheRequestsBeforeItLeft) {
  const std::string next = L("1>ustalenie kolejnej porcji listy użytkowników \"");
  const std::string unknown = L("1>żądanie nieznanego typu do listy użytkowników");
  const struct {
    std::vector<std::string> Requests;
    std::string Reply;
    std::vector<std::string> Log;
  } cases[] = {
      {{}, "\x06", {}},
      {{Bytes({1, 'B'}), Bytes({1, 'C'})},
       "\x06"
       "BC",
       {next + "B\"", next + "C\""}},
      {{Bytes({0, 'A'}), Bytes({3, 'B'}), Bytes({0xFF})},
       "\x06"
       "A",
       {L("1>rozpoczęcie ustalenia listy użytkowników \"A\""), unknown, unknown}},
      {{""}, "\x06", {}},
  };
  for (const auto& c : cases) {
    TGgTestPeer peer = Connected(1);
    Log.clear();
    for (const std::string& request : c.Requests) peer.Send(22, request);
    peer.Send(22, Bytes({0x02}));
    TGgPacket reply = peer.Next();
    EXPECT_EQ(reply.Type, 16);
    EXPECT_EQ(reply.Payload, c.Reply);
    std::vector<std::string> log = c.Log;
    log.push_back(L("1>pobranie listy użytkowników"));
    EXPECT_EQ(Log, log);
  }
}

TEST_F(GgContactsTest, AReconnectedClientStartsWithAnEmptyList) {
  {
    TGgTestPeer first = Connected(5);
    first.Send(22, Bytes({0x00, 0x41}));
    first.Send(2, Le(2));
    ASSERT_TRUE(WaitLog(5));
  }
  ASSERT_TRUE(PumpUntil([&] { return Session->RIDuziva().SocketServer()->CountClients() == 0; }));
  TGgTestPeer again = Connected(5);
  EXPECT_EQ(Client(0)->Status, 0u);
  EXPECT_EQ(Client(0)->NotifyReply, "");
  again.Send(22, Bytes({0x02}));
  EXPECT_EQ(again.Next().Payload, Bytes({0x06}));
}

// The collected reply is bounded: the part that would take it past 256 KiB closes that
// connection, and the server goes on.
TEST_F(GgContactsTest, ANotifyReplyPastItsBoundClosesOnlyThatConnection) {
  TGgTestPeer asker = Connected(100);
  TGgTestPeer other = Connected(200);
  const size_t fit = TGgSession::kMaxNotifyReply / 14;
  std::string full;
  for (size_t i = 0; i < 13107; ++i) full += NotifyEntries({100});
  std::string rest;
  for (size_t i = 13107; i < fit; ++i) rest += NotifyEntries({200});
  asker.Send(15, full);
  asker.Send(16, rest);
  // In packets of whole entries that a client takes.
  std::string entries;
  for (TGgPacket reply; entries.size() < fit * 14 && asker.Receive(reply, 30); entries += reply.Payload) {
    EXPECT_EQ(reply.Type, 17);
    EXPECT_LE(reply.Payload.size(), 65535u);
    EXPECT_EQ(reply.Payload.size() % 14, 0u);
  }
  EXPECT_EQ(entries.size(), fit * 14);
  EXPECT_EQ(entries.substr(entries.size() - 14), ReplyEntry(200, 0));

  asker.Send(16, NotifyEntries({200}));
  EXPECT_TRUE(asker.WaitEnded());
  EXPECT_EQ(asker.Unread(), "");
  TGgTestPeer newcomer = Connected(300);
  newcomer.Send(16, NotifyEntries({200}));
  EXPECT_EQ(newcomer.Next().Payload, ReplyEntry(200, 0));
}

// Before its login a connection keeps no contact list, and a notify reply only up to 64 KiB.
TEST_F(GgContactsTest, BeforeLoginNoContactListIsKeptAndLittleOfAReply) {
  TGgTestPeer listed = Connected(100);
  TGgTestPeer early = Connect();
  Log.clear();
  early.Send(22, Bytes({0x00, 0x41}));
  early.Send(22, Bytes({0x02}));
  EXPECT_EQ(early.Next().Payload, Bytes({0x06}));
  EXPECT_EQ(Log, (std::vector<std::string>{L("0>rozpoczęcie ustalenia listy użytkowników \"A\""),
                                           L("<lista użytkowników przed zalogowaniem nie jest przechowywana"),
                                           L("0>pobranie listy użytkowników")}));
  std::string part;
  for (int i = 0; i < 800; ++i) part += NotifyEntries({100});  // 11,200 bytes of reply each
  for (int i = 0; i < 6; ++i) early.Send(15, part);
  EXPECT_TRUE(early.WaitEnded());
}

// The stored list is bounded too: up to 1 MiB is kept and given back, a part past it closes
// that connection.
TEST_F(GgContactsTest, AContactListPastOneMebibyteClosesOnlyThatConnection) {
  TGgTestPeer peer = Connected(1);
  TGgTestPeer other = Connected(2);
  const std::string part(65535, 'u');
  peer.Send(22, std::string(1, '\0') + part);
  for (int i = 1; i < 16; ++i) peer.Send(22, "\x01" + part);
  const size_t tail = TGgSession::kMaxUserList - 16 * part.size();
  peer.Send(22, "\x01" + std::string(tail, 'v'));
  peer.Send(22, Bytes({0x02}));
  // Given back in parts that a client takes: 4 before each but the last, 6 before that.
  std::string list;
  for (TGgPacket reply; peer.Receive(reply, 30);) {
    EXPECT_EQ(reply.Type, 16);
    EXPECT_LE(reply.Payload.size(), 65535u);
    list += reply.Payload.substr(1);
    if (reply.Payload[0] != 4) break;
  }
  ASSERT_EQ(list.size(), TGgSession::kMaxUserList);
  EXPECT_EQ(list.front(), 'u');
  EXPECT_EQ(list.back(), 'v');

  peer.Send(22, "\x01w");
  EXPECT_TRUE(peer.WaitEnded());
  EXPECT_EQ(peer.Unread(), "");
  other.Send(22, Bytes({0x02}));
  EXPECT_EQ(other.Next().Payload, Bytes({0x06}));
}

// A peer that asks and asks but never reads cannot make the server hold its answers without
// end: past the unsent bound its connection is aborted, and everybody else goes on.
TEST_F(GgContactsTest, APeerThatNeverReadsItsAnswersIsAbortedPastTheUnsentBound) {
  TGgTestPeer peer = Connected(1);
  TGgTestPeer other = Connected(2);
  const std::string part(65535, 'u');
  peer.Send(22, std::string(1, '\0') + part);
  for (int i = 1; i < 15; ++i) peer.Send(22, "\x01" + part);
  ASSERT_TRUE(WaitLog(4 + 15));
  TGgClient* asker = Client(0);
  ASSERT_EQ(asker->Uin(), 1);
  // About 1 MiB per answer; the kernel's buffers take a few, the rest waits unsent.
  const std::string get = GgPacketBytes(22, Bytes({0x02}));
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(::send(peer.Fd(), get.data(), get.size(), MSG_NOSIGNAL), static_cast<ssize_t>(get.size()));
  ASSERT_TRUE(PumpUntil([&] { return Session->RIDuziva().SocketServer()->CountClients() == 1; }, 20));
  EXPECT_EQ(Client(0)->Uin(), 2);
  other.Send(22, Bytes({0x02}));
  EXPECT_EQ(other.Next().Payload, Bytes({0x06}));
}

}  // namespace
}  // namespace ordwin
