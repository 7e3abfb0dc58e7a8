// TProtobufReader: walks the fields of one protocol-buffers message (the GG 11 packets), checking
// every length against the bytes there are. Malformed input (a varint cut short or longer than
// ten bytes, a length past the end, field number 0, a group or an unknown wire type) ends the
// walk with Failed() set. Does not own the bytes it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ordwin {

class TProtobufReader {
public:
  enum TWireType : uint8_t { pwVarint = 0, pwFixed64 = 1, pwBytes = 2, pwFixed32 = 5 };

  explicit TProtobufReader(std::string_view message) : data_(message) {}

  // Moves to the next field; false at the end of the message or when it is malformed.
  bool Next();
  uint32_t Field() const { return field_; }
  TWireType WireType() const { return type_; }
  // The value of a varint or fixed-width field; 0 for a length-delimited one.
  uint64_t Number() const { return number_; }
  // The bytes of a length-delimited field; empty for the others.
  std::string_view Bytes() const { return bytes_; }
  bool Failed() const { return failed_; }

private:
  bool Varint(uint64_t& value);
  bool Fixed(size_t width, uint64_t& value);
  bool Fail();

  std::string_view data_;
  size_t at_ = 0;
  uint32_t field_ = 0;
  TWireType type_ = pwVarint;
  uint64_t number_ = 0;
  std::string_view bytes_;
  bool failed_ = false;
};

}  // namespace ordwin
