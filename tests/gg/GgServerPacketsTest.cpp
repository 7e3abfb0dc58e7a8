#include "gg/GgServerPackets.h"

#include <array>
#include <string>

#include <gtest/gtest.h>

#include "gg/GgBytes.h"
#include "tests/gg/GgTestPeer.h"

namespace ordwin {
namespace {

using test::Bytes;
using test::Le;

TEST(GgServerPacketsTest, StatusCodesAsAnnouncedShownOnlineAndCarryingADescription) {
  EXPECT_EQ(AnnouncedStatus(20), 1u);
  EXPECT_EQ(AnnouncedStatus(22), 21u);
  EXPECT_EQ(AnnouncedStatus(0x8016), 21u);
  EXPECT_EQ(AnnouncedStatus(0x8004), 4u);
  // Flags above the low byte (a description, an image) change nothing.
  EXPECT_EQ(AnnouncedStatus(0x4114), 1u);
  EXPECT_EQ(AnnouncedStatus(0x4005), 5u);
  for (uint32_t word : {0x02u, 0x04u, 0x05u, 0x8003u, 0x17u, 0x22u, 0x4004u}) EXPECT_TRUE(IsShownOnline(word)) << word;
  for (uint32_t word : {0x00u, 0x01u, 0x15u, 0x14u, 0x16u, 0x8001u, 0x8014u, 0x4015u, 0x4114u})
    EXPECT_FALSE(IsShownOnline(word)) << word;
  // What a 6.0 client is told of the newer states.
  const uint32_t nearest[][2] = {{0x17, 2}, {0x18, 4}, {0x21, 3}, {0x4022, 5}, {0x14, 0x14}, {0x8004, 4}, {0x33, 0x33}};
  for (const auto& [code, told] : nearest) EXPECT_EQ(NearestStatus60(code), told) << code;
  for (uint32_t code : {0x04u, 0x05u, 0x15u, 0x16u, 0x18u, 0x22u, 0x8004u}) EXPECT_TRUE(HasDescription(code)) << code;
  for (uint32_t code : {0x00u, 0x01u, 0x02u, 0x03u, 0x14u, 0x17u, 0x21u}) EXPECT_FALSE(HasDescription(code)) << code;
}

TEST(GgServerPacketsTest, SixPointOhLayouts) {
  EXPECT_EQ(StatusEntry(100, 0x8002), Bytes({100, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ReplyEntry60(100, 2, "ignored"), Bytes({100, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ReplyEntry60(100, 0x15, "pa"), Bytes({100, 0, 0, 0, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 'p', 'a'}));
  EXPECT_EQ(ReplyEntry60(100, 4, ""), Bytes({100, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  std::string entry = ReplyEntry60(100, 5, std::string(300, 'd'));
  EXPECT_EQ(entry.size(), 14u + 1 + 255);
  EXPECT_EQ(static_cast<unsigned char>(entry[14]), 255);
  std::string message(ReceivedMessagePayloadLength(2), 'x');
  PutReceivedMessagePayload(message.data(), 7, 9, "hi", 0);
  EXPECT_EQ(message, Le(7) + Le(9) + Le(0) + Le(4) + "hi" + std::string(1, '\0'));
}

TEST(GgServerPacketsTest, EightPointOhLayouts) {
  EXPECT_EQ(Status80Payload(1001, 4, "zażółć"), Le(1001) + Le(4) + std::string(16, '\0') + Le(10) + "zażółć");
  EXPECT_EQ(Status80EntryLength(Status80Payload(1, 2, "") + Status80Payload(3, 4, "abc"), 28), 31u);
  EXPECT_EQ(Status80EntryLength(Status80Payload(3, 4, "abc").substr(0, 30), 0), 0u);  // cut short
  EXPECT_EQ(TypingPayload(5, 1002), Bytes({5, 0, 0xEA, 3, 0, 0}));

  std::string m = ReceivedMessage80Payload(1001, 9, 1700000000, 8, "<b>x</b>", "x", Bytes({2, 0, 0}));
  EXPECT_EQ(m, Le(1001) + Le(9) + Le(1700000000) + Le(8) + Le(33) + Le(35) + std::string("<b>x</b>\0x\0", 11) +
                   Bytes({2, 0, 0}));
}

// A newer client drops its session on a payload past 65535 bytes: a description is cut at a
// character; of a message the attributes go first, then the plain part is cut, and a message
// whose HTML part cannot go whole is not made at all: what the sender wrote is never replaced.
TEST(GgServerPacketsTest, EightPointOhPayloadsStayWithinTheNewerBound) {
  std::string longDescription;
  while (longDescription.size() < 70000) longDescription += "ż";
  std::string status = Status80Payload(1, 4, longDescription);
  EXPECT_EQ(status.size(), 65534u);  // 65507 bytes would split a character
  EXPECT_EQ(LeBytesToInt(status, 24), 65506);

  // {HTML, plain, payload size, plain bytes kept}
  const std::string attrs(600, '\2');
  for (auto [h, p, size, kept] : {std::array<size_t, 4>{30000, 35000, 24 + 30001 + 35001, 35000},
                                  {60000, 60000, 65535, 65535 - 26 - 60000},
                                  {65509, 10, 65535, 0},
                                  {65510, 0, 0, 0}}) {
    std::string html = "<b>" + std::string(h - 3, 'h');
    std::string m = ReceivedMessage80Payload(1, 2, 3, 8, html, std::string(p, '<'), attrs);
    ASSERT_EQ(m.size(), size) << h;
    if (m.empty()) continue;
    size_t plainAt = static_cast<size_t>(LeBytesToInt(m, 16));
    EXPECT_EQ(m.substr(24, plainAt - 25) + "|" + m.substr(plainAt), html + "|" + std::string(kept, '<') + '\0');
  }
}

}  // namespace
}  // namespace ordwin
