// The GG wire's byte helpers: 32-bit little-endian integers, and control bytes made readable
// for the packet log.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace ordwin {

// The signed 32-bit value of the four bytes at offset, least significant first. Bytes missing at
// the end of a short input read as 0 (LeBytesToIntShort). Inline, a single load where the four
// are there: every field of every packet is read here.
int32_t LeBytesToIntShort(std::string_view bytes, size_t offset);
inline int32_t LeBytesToInt(std::string_view bytes, size_t offset = 0) {
  if (offset >= bytes.size() || bytes.size() - offset < 4) return LeBytesToIntShort(bytes, offset);
  uint32_t v;
  std::memcpy(&v, bytes.data() + offset, sizeof(v));
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return static_cast<int32_t>(v);
}

// The four bytes of value, least significant first (two's complement for negative values).
std::string IntToLeBytes(int32_t value);
// The same four bytes written at out (a single store), or appended to out.
inline void PutLeBytes(char* out, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(out, &v, sizeof(v));
}
void AppendLeBytes(std::string& out, int32_t value);

// Every GG packet starts with its type and its payload's length, four bytes each.
constexpr size_t kPacketHeader = 8;
inline void PutPacketHeader(char* out, int32_t type, size_t payloadLength) {
  PutLeBytes(out, type);
  PutLeBytes(out + 4, static_cast<int32_t>(payloadLength));
}

// Every byte below 32 becomes "{XX}" (two upper-case hexadecimal digits); others are copied.
std::string EscapeControlChars(std::string_view bytes);

}  // namespace ordwin
