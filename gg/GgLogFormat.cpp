#include "gg/GgLogFormat.h"

#include <cctype>
#include <charconv>

namespace ordwin {

void GgFormatArgs(std::string& out, std::string_view cp1250Format, const TGgLogArg* args, size_t count) {
  size_t next = 0;
  for (size_t i = 0; i < cp1250Format.size(); ++i) {
    char c = cp1250Format[i];
    if (c != '%' || i + 1 >= cp1250Format.size()) {
      out += c;
      continue;
    }
    char conversion = cp1250Format[++i];
    if (conversion == '%') {
      out += '%';
      continue;
    }
    if (next >= count) continue;
    const TGgLogArg& arg = args[next++];
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
}

}  // namespace ordwin
