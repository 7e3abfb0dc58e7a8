#include "gg/GgBytes.h"

#include <string>

#include <gtest/gtest.h>

namespace ordwin {
namespace {

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

TEST(GgBytes, LittleEndianIntegersRoundTripIncludingNegativeValues) {
  EXPECT_EQ(IntToLeBytes(-2), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(LeBytesToInt(Bytes({0xFE, 0xFF, 0xFF, 0xFF})), -2);
  EXPECT_EQ(IntToLeBytes(12345), Bytes({0x39, 0x30, 0x00, 0x00}));
  EXPECT_EQ(LeBytesToInt(Bytes({0x39, 0x30, 0x00, 0x00, 0x77})), 12345);
  EXPECT_EQ(LeBytesToInt(Bytes({0x04, 0x03, 0x02, 0x01})), 0x01020304);
  EXPECT_EQ(LeBytesToInt(Bytes({0x00, 0x00, 0x00, 0x80})), INT32_MIN);
  for (int32_t v : {0, 1, -1, 255, 256, INT32_MAX, INT32_MIN, 2147483639}) EXPECT_EQ(LeBytesToInt(IntToLeBytes(v)), v);
  std::string appended = "ab";
  AppendLeBytes(appended, -2);
  AppendLeBytes(appended, 0x01020304);
  EXPECT_EQ(appended, "ab" + Bytes({0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01}));
}

TEST(GgBytes, ReadsAtAnOffsetAndTakesMissingBytesAsZero) {
  std::string s = Bytes({9, 9, 0x01, 0x02});
  EXPECT_EQ(LeBytesToInt(s, 2), 0x0201);
  EXPECT_EQ(LeBytesToInt(s, 4), 0);
  EXPECT_EQ(LeBytesToInt(std::string(), 0), 0);
  EXPECT_EQ(LeBytesToInt(Bytes({0x05}), 0), 5);
}

TEST(GgBytes, EscapesOnlyBytesBelow32) {
  EXPECT_EQ(EscapeControlChars(""), "");
  EXPECT_EQ(EscapeControlChars(Bytes({0x02, 0x80, 0x00, 0x00})), std::string("{02}\x80{00}{00}"));
  EXPECT_EQ(EscapeControlChars("a\nb\x1F "), "a{0A}b{1F} ");
  EXPECT_EQ(EscapeControlChars("\xB9\xE6"), "\xB9\xE6");
}

}  // namespace
}  // namespace ordwin
