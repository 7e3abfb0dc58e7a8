#include "gg/GgBytes.h"

namespace ordwin {

int32_t LeBytesToIntShort(std::string_view bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    size_t at = offset + i;
    uint32_t b = at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0u;
    value |= b << (8 * i);
  }
  return static_cast<int32_t>(value);
}

std::string IntToLeBytes(int32_t value) {
  std::string out(4, '\0');
  PutLeBytes(out.data(), value);
  return out;
}

void AppendLeBytes(std::string& out, int32_t value) {
  char bytes[4];
  PutLeBytes(bytes, value);
  out.append(bytes, sizeof(bytes));
}

std::string EscapeControlChars(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b < 32) {
      out += '{';
      out += kHex[b >> 4];
      out += kHex[b & 15];
      out += '}';
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace ordwin
