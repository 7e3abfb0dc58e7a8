#include "gg/GgDialect.h"

#include "gg/Cp1250.h"

namespace ordwin {

std::string TextFor(TGgDialect dialect, std::string_view text, bool textIsUtf8) {
  if (IsNewer(dialect) == textIsUtf8) return std::string(text);
  return textIsUtf8 ? Utf8ToCp1250(text) : Cp1250ToUtf8(text);
}

}  // namespace ordwin
