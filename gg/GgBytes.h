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
void PutLeBytes(char* out, int32_t value);
void AppendLeBytes(std::string& out, int32_t value);

// Every byte below 32 becomes "{XX}" (two upper-case hexadecimal digits); others are copied.
std::string EscapeControlChars(const std::string& bytes);

}  // namespace ordwin
