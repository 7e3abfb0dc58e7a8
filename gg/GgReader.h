// TGgReader: reads a GG payload front to back, little-endian numbers and byte runs. A read past
// the end fails and so does every read after it, so a parser checks Ok() once at the end. Holds
// a view of the payload, which must outlive it, as must the views it hands out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ordwin {

class TGgReader {
public:
  explicit TGgReader(std::string_view data) : data_(data) {}

  // A failed read returns 0 or an empty run.
  uint8_t U8() { return static_cast<uint8_t>(Number(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Number(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Number(4)); }
  std::string_view Take(size_t count);
  // The bytes up to the next NUL, which is passed over; fails when there is none.
  std::string_view TakeUntilNul();

  size_t Offset() const { return at_; }
  size_t Left() const { return data_.size() - at_; }
  bool Ok() const { return ok_; }

private:
  uint64_t Number(size_t width);

  std::string_view data_;
  size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace ordwin
