#include "app/LogText.h"

#include <string>

#include <gtest/gtest.h>

#include "gg/Cp1250.h"
#include "tests/gg/AllBytes.h"

namespace ordwin {
namespace {

using test::AllBytes;

// A line break a client sent, CR LF too, shows as pictures: it cannot forge a line of the log.
TEST(LogTextTest, ControlBytesLineEndsIncludedShowAsPictures) {
  std::string out;
  AppendLogText(out, std::string("a\r\nb\tc\0d\x1B[2Je\rf\ng\x7F", 18));
  EXPECT_EQ(out, "a\u240D\u240Ab\tc\u2400d\u241B[2Je\u240Df\u240Ag\u2421");

  out.clear();
  AppendLogText(out,
                "\x81\x83\x88\x90\x98|\xA3\xF3"
                "d\xBC");
  EXPECT_EQ(out, "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD|Łód\u013D");
}

// However long the line, every byte is shown as on its own.
TEST(LogTextTest, LongLinesAsTheirBytesAlone) {
  const std::string all = AllBytes();
  for (size_t length : {341u, 342u, 2000u}) {
    std::string line, expected;
    for (size_t i = 0; i < length; ++i) line += all[(i * 7) % 256];
    for (char c : line) AppendLogText(expected, std::string(1, c));
    std::string out = "[";
    AppendLogText(out, line);
    EXPECT_EQ(out, "[" + expected) << length;
  }
}

TEST(LogTextTest, NoByteLeavesAControlCharacterInTheText) {
  std::string out;
  AppendLogText(out, AllBytes());
  for (char c : out) {
    unsigned char b = static_cast<unsigned char>(c);
    EXPECT_TRUE(b >= 0x20 || b == '\t') << int(b);
    EXPECT_NE(b, 0x7F);
  }
  EXPECT_EQ(out.find("\xC2\x80"), std::string::npos);  // no C1 control either (U+0080..U+009F)
  for (unsigned c1 = 0x80; c1 <= 0x9F; ++c1)
    EXPECT_EQ(out.find(std::string("\xC2") + static_cast<char>(c1)), std::string::npos) << c1;
}

// Printable text is taken 64, sixteen or eight bytes at a time: a byte that needs care is found
// wherever it lies in such a block, also in the last, shorter part of the line, and also right
// behind another such byte (a low byte's borrow marks the bytes above it too).
TEST(LogTextTest, EveryBytePositionWithinLongTextIsConvertedAlike) {
  const std::string special = std::string("\0\x1F\x7F\x80\x9C\xFF\t \x7E\r", 10);
  for (char c : special) {
    std::string alone;
    AppendLogText(alone, std::string(1, c));
    for (size_t length : {21u, 150u}) {
      for (size_t at = 0; at < length; ++at) {
        std::string line(length, 'x');
        line[at] = c;
        std::string out;
        AppendLogText(out, line);
        EXPECT_EQ(out, std::string(at, 'x') + alone + std::string(length - 1 - at, 'x')) << int(c) << " at " << at;
      }
    }
  }
  for (char first : special) {
    for (char second : special) {
      std::string expected;
      AppendLogText(expected, std::string(1, first));
      AppendLogText(expected, std::string(1, second));
      for (size_t at = 0; at + 1 < 17; ++at) {
        std::string line(17, 'x');
        line[at] = first;
        line[at + 1] = second;
        std::string out;
        AppendLogText(out, line);
        EXPECT_EQ(out, std::string(at, 'x') + expected + std::string(15 - at, 'x'))
            << int(first) << ", " << int(second) << " at " << at;
      }
    }
  }
}

}  // namespace
}  // namespace ordwin
