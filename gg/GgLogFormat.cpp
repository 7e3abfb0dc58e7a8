#include "gg/GgLogFormat.h"

#include <cctype>
#include <charconv>

namespace ordwin {

void GgFormatArgs(std::string& out, std::string_view cp1250Format, const TGgLogArg* args, size_t count) {
  size_t next = 0;
  size_t i = 0;
  while (i < cp1250Format.size()) {
    // The text up to the next conversion goes in whole: a line is mostly text.
    size_t percent = cp1250Format.find('%', i);
    if (percent == std::string_view::npos || percent + 1 >= cp1250Format.size()) {
      out.append(cp1250Format.substr(i));
      return;
    }
    out.append(cp1250Format.substr(i, percent - i));
    char conversion = cp1250Format[percent + 1];
    i = percent + 2;
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
