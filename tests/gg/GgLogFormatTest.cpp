#include "gg/GgLogFormat.h"

#include <cstdint>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace ordwin {
namespace {

template <class... TArgs>
std::string Format(std::string_view format, const TArgs&... values) {
  std::string out = "[";  // the text is appended, never assigned
  GgFormatInto(out, format, values...);
  return out;
}

TEST(GgLogFormatTest, ConversionsBetweenTextRunsAndAtBothEnds) {
  EXPECT_EQ(Format("%d>wypowied\x9F dla %d o tre\x9C"
                   "ci \"%s\"",
                   1001, -7, std::string("a\0\xB9", 3)),
            std::string("[1001>wypowied\x9F dla -7 o tre\x9C"
                        "ci \"a\0\xB9\"",
                        37));
  EXPECT_EQ(Format("%x|%x|%x", 0, 0x2aBu, -1), "[0|2AB|FFFFFFFF");
  // Every length of number, both sides of 32 bits, both ends of 64.
  EXPECT_EQ(Format("%d %d %d %d %d %d", 0, 9, 10, 99, 100, 4294967295u), "[0 9 10 99 100 4294967295");
  EXPECT_EQ(Format("%d %d %d", int64_t{4294967296}, INT64_MAX, INT64_MIN),
            "[4294967296 9223372036854775807 -9223372036854775808");
  EXPECT_EQ(Format("100%% %d%%", 5), "[100% 5%");
  EXPECT_EQ(Format(""), "[");
  EXPECT_EQ(Format("no conversions"), "[no conversions");
  // A line longer than the usual ones is made in out itself.
  EXPECT_EQ(Format("%s|%d", std::string(600, 'y'), 5), "[" + std::string(600, 'y') + "|5");
}

TEST(GgLogFormatTest, MissingOrMismatchedArgumentsLeaveNothingAndTheTextGoesOn) {
  EXPECT_EQ(Format("a%db%sc", 1), "[a1bc");               // fewer values than conversions
  EXPECT_EQ(Format("%s|%d", 3, std::string("x")), "[|");  // a number for %s, text for %d
  EXPECT_EQ(Format("%q|%d", 1, 2), "[1|2");               // any other conversion letter: decimal
  EXPECT_EQ(Format("end %", 1), "[end %");                // a lone % at the end stays
  EXPECT_EQ(Format("%"), "[%");
}

// The head kept from the line before serves only the same sender and recipient.
TEST(GgLogFormatTest, MessageLinesInARowEachAsTheFormatMakesIt) {
  TGgMessageLine line;
  for (auto [sender, recipient, text] :
       {std::tuple(1001, 1002, std::string("a")), std::tuple(1001, 1002, std::string("b\0\xB9", 3)),
        std::tuple(1001, 1003, std::string()), std::tuple(-7, 1003, std::string(600, 'y')),
        std::tuple(-7, 1003, std::string("z"))}) {
    std::string expected;
    GgFormatInto(expected, GG_CP1250("%d>wypowiedź dla %d o treści \"%s\""), sender, recipient, text);
    EXPECT_EQ(line.Make(sender, recipient, text), expected) << sender << " " << recipient;
  }
}

}  // namespace
}  // namespace ordwin
