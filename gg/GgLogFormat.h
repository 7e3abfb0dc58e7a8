// The formatting of the GG log lines and server texts: a UTF-8 format with %d (signed decimal),
// %x (upper-case hexadecimal, no leading zeros) and %s (a byte string, copied unchanged), giving
// Windows-1250 bytes. The format's own text is converted; the %s arguments are not.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace ordwin {

using TGgLogArg = std::variant<int64_t, std::string>;

std::string GgFormatArgs(const char* Utf8Format, const TGgLogArg* Args, size_t Count);

inline TGgLogArg GgLogArg(const std::string& S) { return S; }
inline TGgLogArg GgLogArg(const char* S) { return std::string(S); }
template <class T>
TGgLogArg GgLogArg(T Number) {
  return static_cast<int64_t>(Number);
}

template <class... Args>
std::string GgFormat(const char* Utf8Format, const Args&... A) {
  TGgLogArg args[] = {TGgLogArg(), GgLogArg(A)...};
  return GgFormatArgs(Utf8Format, args + 1, sizeof...(A));
}

}  // namespace ordwin
