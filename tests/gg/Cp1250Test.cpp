#include "gg/Cp1250.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/gg/AllBytes.h"

namespace ordwin {
namespace {

using test::AllBytes;

TEST(Cp1250Test, PolishLettersAndPunctuationDecodeToTheirCharacters) {
  EXPECT_EQ(Cp1250ToUtf8("\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF"), "ĄĆĘŁŃÓŚŹŻ");
  EXPECT_EQ(Cp1250ToUtf8("\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF"), "ąćęłńóśźż");
  EXPECT_EQ(Cp1250ToUtf8("\x80 \x84\x94 \x96 \x99 \xFF"), "€ „” – ™ ˙");
  EXPECT_EQ(Cp1250ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Cp1250Test, EveryByteSurvivesTheRoundTripAndExactlyFiveAreUnassigned) {
  const std::string bytes = AllBytes();
  EXPECT_EQ(Utf8ToCp1250(Cp1250ToUtf8(bytes)), bytes);
  std::string unassigned;
  for (char b : bytes)
    if (Cp1250Unassigned(static_cast<unsigned char>(b))) unassigned += b;
  EXPECT_EQ(unassigned, "\x81\x83\x88\x90\x98");
}

TEST(Cp1250Test, TextOutsideTheCodePageAndBrokenUtf8BecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1250("zażółć gęślą jaźń"), "za\xBF\xF3\xB3\xE6 g\xEA\x9Cl\xB9 ja\x9F\xF1");
  EXPECT_EQ(Utf8ToCp1250("Ω日🙂x"), "???x");
  EXPECT_EQ(Utf8ToCp1250("\xC3"), "?");                        // cut short
  EXPECT_EQ(Utf8ToCp1250("\xC3(a"), "?(a");                    // no continuation byte
  EXPECT_EQ(Utf8ToCp1250("\xC0\x8A|\xE0\x80\x80"), "??|???");  // over-long LF and NUL
  EXPECT_EQ(Utf8ToCp1250("\xED\xA0\x80"), "???");              // a surrogate
  EXPECT_EQ(Utf8ToCp1250("\xF4\x90\x80\x80"), "????");         // past U+10FFFF
}

}  // namespace
}  // namespace ordwin
