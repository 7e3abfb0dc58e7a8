// The GG wire's byte helpers: 32-bit little-endian integers, and control bytes made readable
// for the packet log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ordwin {

// The signed 32-bit value of the first four bytes, least significant first. Bytes missing at the
// end of a short input read as 0.
int32_t LeBytesToInt(std::string_view bytes, size_t offset = 0);

// The four bytes of value, least significant first (two's complement for negative values).
std::string IntToLeBytes(int32_t value);
// The same four bytes written at out, or appended to out.
inline void PutLeBytes(char* out, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  for (size_t i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFFu);
}
void AppendLeBytes(std::string& out, int32_t value);

// Every GG packet starts with its type and its payload's length, four bytes each.
constexpr size_t kPacketHeader = 8;
inline void PutPacketHeader(char* out, int32_t type, size_t payloadLength) {
  PutLeBytes(out, type);
  PutLeBytes(out + 4, static_cast<int32_t>(payloadLength));
}

// Every byte below 32 becomes "{XX}" (two upper-case hexadecimal digits); others are copied.
std::string EscapeControlChars(const std::string& bytes);

}  // namespace ordwin
