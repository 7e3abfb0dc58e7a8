#include "gg/ProtobufReader.h"

namespace ordwin {

namespace {

constexpr size_t kMaxVarintBytes = 10;
constexpr uint64_t kMaxField = (1u << 29) - 1;

}  // namespace

bool TProtobufReader::Next() {
  if (failed_ || at_ == data_.size()) return false;
  uint64_t key = 0;
  if (!Varint(key)) return Fail();
  uint64_t field = key >> 3;
  if (field == 0 || field > kMaxField) return Fail();
  field_ = static_cast<uint32_t>(field);
  number_ = 0;
  bytes_ = {};
  switch (key & 7) {
    case pwVarint:
      type_ = pwVarint;
      return Varint(number_) || Fail();
    case pwFixed64:
      type_ = pwFixed64;
      return Fixed(8, number_) || Fail();
    case pwFixed32:
      type_ = pwFixed32;
      return Fixed(4, number_) || Fail();
    case pwBytes: {
      type_ = pwBytes;
      uint64_t length = 0;
      if (!Varint(length) || length > data_.size() - at_) return Fail();
      bytes_ = data_.substr(at_, static_cast<size_t>(length));
      at_ += static_cast<size_t>(length);
      return true;
    }
    default:
      return Fail();
  }
}

bool TProtobufReader::Varint(uint64_t& value) {
  value = 0;
  for (size_t i = 0; i < kMaxVarintBytes && at_ < data_.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(data_[at_++]);
    value |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

bool TProtobufReader::Fixed(size_t width, uint64_t& value) {
  if (width > data_.size() - at_) return false;
  value = 0;
  for (size_t i = width; i > 0; --i) value = (value << 8) | static_cast<unsigned char>(data_[at_ + i - 1]);
  at_ += width;
  return true;
}

bool TProtobufReader::Fail() {
  failed_ = true;
  return false;
}

}  // namespace ordwin
