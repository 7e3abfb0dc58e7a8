#include "gg/GgLogFormat.h"

#include <cstdio>

#include "gg/Cp1250.h"

namespace ordwin {

std::string GgFormatArgs(const char* Utf8Format, const TGgLogArg* Args, size_t Count) {
  std::string format = Utf8ToCp1250(Utf8Format);
  std::string out;
  out.reserve(format.size() + 16);
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    char spec = format[++i];
    if (spec == '%') {
      out += '%';
      continue;
    }
    if (next >= Count) continue;
    const TGgLogArg& arg = Args[next++];
    if (spec == 's') {
      if (const auto* s = std::get_if<std::string>(&arg)) out += *s;
      continue;
    }
    const auto* n = std::get_if<int64_t>(&arg);
    if (n == nullptr) continue;
    char number[24];
    if (spec == 'x')
      std::snprintf(number, sizeof(number), "%X", static_cast<unsigned>(static_cast<uint32_t>(*n)));
    else
      std::snprintf(number, sizeof(number), "%lld", static_cast<long long>(*n));
    out += number;
  }
  return out;
}

}  // namespace ordwin
