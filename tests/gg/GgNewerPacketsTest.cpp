#include "gg/GgNewerPackets.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/gg/GgTestPeer.h"

namespace ordwin {
namespace {

using test::Bytes;
using test::FromHex;
using test::Le;

// Packets libgadu 1.12 sent (number 1001, description "Opis ąę Привет", message to 1002).
const std::string kLogin80 = FromHex(
    "e9030000706c028b4bfe71fceab2dccb573b39ac2f013d638fb7dc0000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000040000000100800037270000000000000000000000000000006423000000476164752d"
    "4761647520436c69656e74204275696c642031302e312e302e3131303730160000004f70697320c485c49920d09fd180d0b8d0b2d0"
    "b5d182");
const std::string kLogin110 = FromHex(
    "0a02706c12060104313030311a148b4bfe71fceab2dccb573b39ac2f013d638fb7dc20042d77ffee0335140603003a6747472d50686f"
    "656e69782f31312e332e34352e313037373120284255494c443b57494e4e545f7838362d6d7376633b72763a31312e302c706c3b72"
    "656c656173653b7374616e646172642920284f533b57696e646f77733b57696e646f7773204e5420362e312945040000004a164f70"
    "697320c485c49920d09fd180d0b8d0b2d0b5d1825204000000005a586176617461722c537461747573436f6d6d656e74732c676761"
    "63636f756e742c65646973632c6d757369635f7368617265642c626f742c66616e706167652c7075626469722c626f744361707"
    "32c67696674732c4769667460ff016864757f0000007800880100");
const std::string kStatus80At110 = FromHex("0400000014000000160000004f70697320c485c49920d09fd180d0b8d0b2d0b5d18200");
const std::string kSendMsg80 = FromHex(
    "ea0300006ba3166b0800000093000000a90000003c7370616e207374796c653d22636f6c6f723a233030303030303b20666f6e742d66"
    "616d696c793a274d53205368656c6c20446c672032273b20666f6e742d73697a653a3970743b20223e7a61c5bcc3b3c582c4872026"
    "6c743b622667743b2026616d703b20d09fd180d0b8d0b2d0b5d18220f09f98803c2f7370616e3e007a61bff3b3e6203c623e20262"
    "03f3f3f3f3f3f203f00020600000008000000");
const std::string kSendMsg110 = FromHex(
    "0a06010431303032100818012a227a61c5bcc3b3c582c487203c623e202620d09fd180d0b8d0b2d0b5d18220f09f988032393c737061"
    "6e3e7a61c5bcc3b3c582c48720266c743b622667743b2026616d703b20d09fd180d0b8d0b2d0b5d18220f09f98803c2f7370616e3e");
const std::string kDescription = "Opis ąę Привет";
const std::string kText = "zażółć <b> & Привет 😀";

TEST(GgNewerPacketsTest, WhatLibgaduSendsIsReadFieldByField) {
  TGgLogin login;
  ASSERT_TRUE(ReadLogin80(kLogin80, login));
  EXPECT_EQ(login.Uin, 1001);
  EXPECT_EQ(login.Status, 4u);
  EXPECT_EQ(login.Description, kDescription);
  ASSERT_TRUE(ReadLogin110(kLogin110, login));
  EXPECT_EQ(login.Uin, 1001);
  EXPECT_EQ(login.Status, 4u);
  EXPECT_EQ(login.Description, kDescription);

  TGgNewStatus status;
  ASSERT_TRUE(ReadNewStatus80(kStatus80At110, status));  // the byte after the description is not counted
  EXPECT_EQ(status.Status, 4u);
  EXPECT_EQ(status.Description, kDescription);

  TGgSentMessage m;
  ASSERT_TRUE(ReadSendMsg80(kSendMsg80, m));
  EXPECT_EQ(m.Recipient, 1002);
  EXPECT_EQ(m.Sequence, 0x6b16a36b);
  EXPECT_EQ(m.Class, 8);
  EXPECT_EQ(m.Html.substr(0, 13), "<span style=\"");
  EXPECT_TRUE(m.Html.ends_with("; \">zażółć &lt;b&gt; &amp; Привет 😀</span>")) << m.Html;
  EXPECT_EQ(m.Plain, "za\xBF\xF3\xB3\xE6 <b> & ?????? ?");
  EXPECT_EQ(m.Attributes, Bytes({0x02, 0x06, 0, 0, 0, 0x08, 0, 0, 0}));
  ASSERT_TRUE(ReadSendMsg110(kSendMsg110, m));
  EXPECT_EQ(m.Recipient, 1002);
  EXPECT_EQ(m.Sequence, 1);
  EXPECT_EQ(m.Class, 8);
  EXPECT_EQ(m.Plain, kText);
  EXPECT_EQ(m.Html, "<span>zażółć &lt;b&gt; &amp; Привет 😀</span>");
  EXPECT_EQ(m.Attributes, "");
  const std::string nul = Bytes({0x0A, 0x03, 0x01, 0x01, '7', 0x2A, 0x03, 'a', 0, 'b', 0x32, 0x02, '<', 0});
  ASSERT_TRUE(ReadSendMsg110(nul, m));
  EXPECT_EQ(std::string(m.Plain) + "|" + std::string(m.Html), "a|<");  // a NUL ends a text, as in 8.0

  std::vector<int32_t> numbers;
  ASSERT_TRUE(ReadNotify110(FromHex("0004313030320300043130303303"), numbers));
  EXPECT_EQ(numbers, (std::vector<int32_t>{1002, 1003}));
  TGgTyping typing;
  ASSERT_TRUE(ReadTyping(FromHex("0500ea030000"), typing));
  EXPECT_EQ(typing.Length, 5);
  EXPECT_EQ(typing.Uin, 1002);
}

// Every packet cut anywhere short of its last field is refused; the readers never read past
// what they were given (the sanitizer build checks each cut in a block of exactly its size).
TEST(GgNewerPacketsTest, APacketCutShortIsRefused) {
  using TCut = test::TExactBytes;
  TGgLogin login;
  TGgNewStatus status;
  TGgSentMessage m;
  TGgTyping typing;
  std::vector<int32_t> numbers;
  for (size_t n = 0; n < kLogin80.size(); ++n)
    EXPECT_FALSE(ReadLogin80(TCut(std::string_view(kLogin80).substr(0, n)), login)) << n;
  for (size_t n = 0; n < kStatus80At110.size() - 1; ++n)
    EXPECT_FALSE(ReadNewStatus80(TCut(std::string_view(kStatus80At110).substr(0, n)), status)) << n;
  for (size_t n = 0; n < 20; ++n) EXPECT_FALSE(ReadSendMsg80(TCut(std::string_view(kSendMsg80).substr(0, n)), m)) << n;
  // Past its head a cut 0x2d points past its end, until only attributes are cut.
  for (size_t n = 20; n < 169; ++n)
    EXPECT_FALSE(ReadSendMsg80(TCut(std::string_view(kSendMsg80).substr(0, n)), m)) << n;
  const std::string attributesCut(kSendMsg80, 0, 170);
  ASSERT_TRUE(ReadSendMsg80(attributesCut, m));
  EXPECT_EQ(m.Attributes, "\x02");
  // Protocol buffers may end after any whole field: a cut elsewhere is refused, and a cut
  // before the number is refused too.
  for (size_t n = 0; n < kLogin110.size(); ++n) {
    TCut cut(std::string_view(kLogin110).substr(0, n));
    if (ReadLogin110(cut, login)) {
      EXPECT_GE(n, 12u) << n;
    }
  }
  for (size_t n = 0; n < kSendMsg110.size(); ++n) {
    TCut cut(std::string_view(kSendMsg110).substr(0, n));
    if (ReadSendMsg110(cut, m)) {
      EXPECT_TRUE(n == 8 || n == 10 || n == 12 || n == 48) << n;
    }
  }
  for (size_t n = 1; n < 7; ++n)
    EXPECT_FALSE(ReadNotify110(TCut(FromHex("00043130303203").substr(0, n)), numbers)) << n;
  for (size_t n = 0; n < 6; ++n) EXPECT_FALSE(ReadTyping(TCut(FromHex("0500ea030000").substr(0, n)), typing)) << n;
}

TEST(GgNewerPacketsTest, NumbersAreDecimalDigitsWithinThirtyTwoBits) {
  int32_t uin = 0;
  EXPECT_TRUE(ReadUinDigits("0", uin));
  EXPECT_EQ(uin, 0);
  EXPECT_TRUE(ReadUinDigits("4294967295", uin));
  EXPECT_EQ(uin, -1);
  EXPECT_TRUE(ReadUinDigits("0000012345", uin));
  EXPECT_EQ(uin, 12345);
  for (const char* bad : {"", "4294967296", "99999999999", "12a4", " 123", "-1", "+1", "1.0"})
    EXPECT_FALSE(ReadUinDigits(bad, uin)) << bad;

  // In the packets: the flag byte and a length that must match the digits.
  TGgSentMessage m;
  EXPECT_FALSE(ReadSendMsg110(Bytes({0x0A, 0x06, 0x01, 0x04, '1', '0', 'x', '2'}), m));  // not digits
  EXPECT_FALSE(ReadSendMsg110(Bytes({0x0A, 0x06, 0x01, 0x05, '1', '0', '0', '2'}), m));  // length past them
  EXPECT_FALSE(ReadSendMsg110(Bytes({0x0A, 0x01, 0x01}), m));                            // no length
  EXPECT_FALSE(ReadSendMsg110(Bytes({0x10, 0x08}), m));                                  // no recipient
  EXPECT_FALSE(ReadSendMsg110(Bytes({0x08, 0x01}), m));                                  // recipient as a number
  EXPECT_TRUE(ReadSendMsg110(Bytes({0x0A, 0x03, 0x01, 0x01, '7'}), m));
  EXPECT_EQ(m.Recipient, 7);
  std::vector<int32_t> numbers;
  EXPECT_FALSE(ReadNotify110(Bytes({0x00, 0x03, '1', '0', 'O', 0x03}), numbers));
  EXPECT_FALSE(ReadNotify110(Bytes({0x00, 0x00, 0x03}), numbers));
  TGgLogin login;
  EXPECT_FALSE(ReadLogin110(Bytes({0x12, 0x04, 0x01, 0x02, '1', 'x'}), login));
}

TEST(GgNewerPacketsTest, MessageOffsetsMustStayInsideThePacket) {
  auto head = [](uint32_t plainAt, uint32_t attrAt) {
    return Le(7) + Le(1) + Le(8) + Le(static_cast<int32_t>(plainAt)) + Le(static_cast<int32_t>(attrAt));
  };
  TGgSentMessage m;
  const std::string body = std::string("<b>x</b>\0x\0", 11) + Bytes({0x02, 0x00, 0x00});  // 28 + 3 = 31 bytes
  // The results point into the packet: each is kept while they are looked at.
  const std::string whole = head(29, 31) + body, bare = head(29, 0) + body, headOnly = head(20, 20);
  ASSERT_TRUE(ReadSendMsg80(whole, m));
  EXPECT_EQ(m.Html, "<b>x</b>");
  EXPECT_EQ(m.Plain, "x");
  EXPECT_EQ(m.Attributes, Bytes({0x02, 0x00, 0x00}));
  ASSERT_TRUE(ReadSendMsg80(bare, m));  // no attributes
  EXPECT_EQ(m.Attributes, "");
  ASSERT_TRUE(ReadSendMsg80(headOnly, m));  // nothing but the head
  EXPECT_EQ(m.Html, "");
  EXPECT_EQ(m.Plain, "");
  EXPECT_FALSE(ReadSendMsg80(head(35, 0) + body, m));   // plain part past the end
  EXPECT_FALSE(ReadSendMsg80(head(29, 35) + body, m));  // attributes past the end
  EXPECT_FALSE(ReadSendMsg80(head(19, 0) + body, m));   // plain part inside the head
  EXPECT_FALSE(ReadSendMsg80(head(29, 25) + body, m));  // attributes before the plain part
  EXPECT_FALSE(ReadSendMsg80(head(0xFFFFFFF0u, 0) + body, m));
}

}  // namespace
}  // namespace ordwin
