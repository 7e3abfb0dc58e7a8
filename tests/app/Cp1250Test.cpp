#include "app/Cp1250.h"

#include <string>

#include <gtest/gtest.h>

#include "app/LogText.h"

namespace ordwin {
namespace {

std::string AllBytes() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes;
}

TEST(Cp1250Test, PolishLettersAndPunctuationDecodeToTheirCharacters) {
  EXPECT_EQ(Cp1250ToUtf8("\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF"), "ĄĆĘŁŃÓŚŹŻ");
  EXPECT_EQ(Cp1250ToUtf8("\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF"), "ąćęłńóśźż");
  EXPECT_EQ(Cp1250ToUtf8("\x80 \x84\x94 \x96 \x99 \xFF"), "€ „” – ™ ˙");
  EXPECT_EQ(Cp1250ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Cp1250Test, EveryByteSurvivesTheRoundTrip) {
  const std::string bytes = AllBytes();
  EXPECT_EQ(Utf8ToCp1250(Cp1250ToUtf8(bytes)), bytes);
}

TEST(Cp1250Test, TextOutsideTheCodePageAndBrokenUtf8BecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1250("zażółć gęślą jaźń"), "za\xBF\xF3\xB3\xE6 g\xEA\x9Cl\xB9 ja\x9F\xF1");
  EXPECT_EQ(Utf8ToCp1250("Ω日🙂x"), "???x");
  EXPECT_EQ(Utf8ToCp1250("\xC3"), "?");                 // cut short
  EXPECT_EQ(Utf8ToCp1250("\xC3(a"), "?(a");             // no continuation byte
  EXPECT_EQ(Utf8ToCp1250("\xC0\x8A|\xE0\x80\x80"), "??|???");  // over-long LF and NUL
  EXPECT_EQ(Utf8ToCp1250("\xED\xA0\x80"), "???");       // a surrogate
  EXPECT_EQ(Utf8ToCp1250("\xF4\x90\x80\x80"), "????");  // past U+10FFFF
}

TEST(LogTextTest, ControlBytesShowAsPicturesAndCrLfStartsANewLine) {
  std::string out;
  AppendLogText(out, std::string("a\r\nb\tc\0d\x1B[2Je\rf\ng\x7F", 18));
  EXPECT_EQ(out, "a\nb\tc\u2400d\u241B[2Je\u240Df\u240Ag\u2421");

  out.clear();
  AppendLogText(out, "\x81\x83\x88\x90\x98|\xA3\xF3" "d\xBC");
  EXPECT_EQ(out, "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD|Łód\u013D");
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

}  // namespace
}  // namespace ordwin
