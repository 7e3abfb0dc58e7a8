#include "gg/GgLogFormat.h"

#include <cctype>
#include <charconv>

namespace ordwin {

std::string GgFormatArgs(std::string_view Cp1250Format, const TGgLogArg* Args, size_t Count) {
  std::string out;
  out.reserve(Cp1250Format.size() + 32);
  size_t next = 0;
  for (size_t i = 0; i < Cp1250Format.size(); ++i) {
    char c = Cp1250Format[i];
    if (c != '%' || i + 1 >= Cp1250Format.size()) {
      out += c;
      continue;
    }
    char conversion = Cp1250Format[++i];
    if (conversion == '%') {
      out += '%';
      continue;
    }
    if (next >= Count) continue;
    const TGgLogArg& arg = Args[next++];
    if (conversion == 's') {
      if (!arg.IsNumber) out += arg.Text;
      continue;
    }
    if (!arg.IsNumber) continue;
    char number[24];
    std::to_chars_result r;
    if (conversion == 'x') {
      r = std::to_chars(number, number + sizeof(number), static_cast<uint32_t>(arg.Value), 16);
      for (char* p = number; p < r.ptr; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    } else {
      r = std::to_chars(number, number + sizeof(number), arg.Value);
    }
    out.append(number, r.ptr);
  }
  return out;
}

}  // namespace ordwin
