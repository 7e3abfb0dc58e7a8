// The Windows-1250 (Polish) code page, both ways: the system's 8-bit texts and UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace ordwin {

// Every byte maps to one character; the five bytes the code page leaves unassigned map to the
// C1 code points of the same value, so that decoding and encoding again gives the same bytes.
std::string Cp1250ToUtf8(std::string_view bytes);

// Characters outside the code page, and malformed UTF-8 sequences, become '?'.
std::string Utf8ToCp1250(std::string_view utf8);

// The Unicode code point of one Windows-1250 byte.
char32_t Cp1250CodePoint(unsigned char byte);
// Whether the code page leaves the byte unassigned (0x81, 0x83, 0x88, 0x90, 0x98).
bool Cp1250Unassigned(unsigned char byte);

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t codePoint);

// The longest start of UTF-8 text that fits in max bytes without splitting a character.
std::string_view CutUtf8(std::string_view utf8, size_t max);

}  // namespace ordwin
