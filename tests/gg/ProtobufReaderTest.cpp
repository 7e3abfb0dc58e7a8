#include "gg/ProtobufReader.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/gg/GgTestPeer.h"

namespace ordwin {
namespace {

using test::Bytes;

TEST(ProtobufReaderTest, EveryWireTypeIsReadInOrder) {
  // 1: varint 300 (two bytes), 2: bytes "ab", 3: fixed32, 4: fixed64, 5: varint of ten bytes.
  const std::string message =
      Bytes({0x08, 0xAC, 0x02, 0x12, 0x02, 'a',  'b',  0x1D, 0x78, 0x56, 0x34, 0x12, 0x21, 1,    2,    3,
             4,    5,    6,    7,    8,    0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
  TProtobufReader r(message);
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.Field(), 1u);
  EXPECT_EQ(r.WireType(), TProtobufReader::pwVarint);
  EXPECT_EQ(r.Number(), 300u);
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.Field(), 2u);
  EXPECT_EQ(r.Bytes(), "ab");
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.Number(), 0x12345678u);
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.Number(), 0x0807060504030201u);
  ASSERT_TRUE(r.Next());
  EXPECT_EQ(r.Field(), 5u);
  EXPECT_EQ(r.Number(), UINT64_MAX);
  EXPECT_FALSE(r.Next());
  EXPECT_FALSE(r.Failed());

  TProtobufReader empty("");
  EXPECT_FALSE(empty.Next());
  EXPECT_FALSE(empty.Failed());
}

// Each case is a message whose last field cannot be read whole; the reader stops there, and
// (under the sanitizers) never touches a byte past the end.
TEST(ProtobufReaderTest, MalformedMessagesFailWithoutReadingPastTheEnd) {
  const std::string cases[] = {
      Bytes({0x08}),                                                                    // varint value missing
      Bytes({0x08, 0x80, 0x80}),                                                        // varint cut short
      Bytes({0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}),  // never ends in ten bytes
      Bytes({0x80}),                                                                    // key cut short
      Bytes({0x12, 0x05, 'a', 'b'}),                                                    // length past the end
      Bytes({0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 'a'}),                                 // huge length
      Bytes({0x12}),                                                                    // length missing
      Bytes({0x1D, 1, 2, 3}),                                                           // fixed32 cut short
      Bytes({0x21, 1, 2, 3, 4, 5, 6, 7}),                                               // fixed64 cut short
      Bytes({0x02, 0x00}),                                                              // field number 0
      Bytes({0x0B}),                                                                    // start of a group
      Bytes({0x0C}),                                                                    // end of a group
      Bytes({0x0E}),                                                                    // wire type 6
  };
  for (const std::string& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c));
    test::TExactBytes exact(c);
    TProtobufReader r(exact);
    EXPECT_FALSE(r.Next());
    EXPECT_TRUE(r.Failed());
    EXPECT_FALSE(r.Next());
  }
  // Fields before the bad one are read.
  const std::string goodThenBad = Bytes({0x08, 0x01, 0x12, 0x09});
  TProtobufReader r(goodThenBad);
  EXPECT_TRUE(r.Next());
  EXPECT_FALSE(r.Next());
  EXPECT_TRUE(r.Failed());
}

}  // namespace
}  // namespace ordwin
