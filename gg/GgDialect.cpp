#include "gg/GgDialect.h"

#include "gg/Cp1250.h"

namespace ordwin {

std::string TextFor(TGgDialect Dialect, std::string_view Text, bool TextIsUtf8) {
  if (IsNewer(Dialect) == TextIsUtf8) return std::string(Text);
  return TextIsUtf8 ? Utf8ToCp1250(Text) : Cp1250ToUtf8(Text);
}

}  // namespace ordwin
