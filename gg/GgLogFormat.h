// The formatting of the GG log lines and server texts: a Windows-1250 format with %d (signed
// decimal), %x (upper-case hexadecimal, no leading zeros) and %s (a byte string, copied
// unchanged). GG_CP1250 turns a UTF-8 literal into the Windows-1250 format once, where it is used.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

#include "gg/Cp1250.h"

namespace ordwin {

struct TGgLogArg {
  TGgLogArg(std::string_view Bytes) : Text(Bytes) {}
  TGgLogArg(const std::string& Bytes) : Text(Bytes) {}
  template <std::integral T>
  TGgLogArg(T Number) : IsNumber(true), Value(static_cast<int64_t>(Number)) {}

  bool IsNumber = false;
  int64_t Value = 0;
  std::string_view Text;
};

// Appends the formatted text to Out.
void GgFormatArgs(std::string& Out, std::string_view Cp1250Format, const TGgLogArg* Args, size_t Count);

template <class... Args>
void GgFormatInto(std::string& Out, std::string_view Cp1250Format, const Args&... A) {
  const TGgLogArg args[] = {TGgLogArg(A)..., TGgLogArg(std::string_view())};
  GgFormatArgs(Out, Cp1250Format, args, sizeof...(A));
}

}  // namespace ordwin

#define GG_CP1250(Utf8Literal)                                                  \
  ([]() -> const std::string& {                                                 \
    static const std::string text = ::ordwin::Utf8ToCp1250(Utf8Literal);       \
    return text;                                                                \
  }())
