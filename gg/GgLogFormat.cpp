#include "gg/GgLogFormat.h"

#include <cctype>
#include <charconv>

namespace ordwin {

void GgFormatArgs(std::string& Out, std::string_view Cp1250Format, const TGgLogArg* Args, size_t Count) {
  size_t next = 0;
  for (size_t i = 0; i < Cp1250Format.size(); ++i) {
    char c = Cp1250Format[i];
    if (c != '%' || i + 1 >= Cp1250Format.size()) {
      Out += c;
      continue;
    }
    char conversion = Cp1250Format[++i];
    if (conversion == '%') {
      Out += '%';
      continue;
    }
    if (next >= Count) continue;
    const TGgLogArg& arg = Args[next++];
    if (conversion == 's') {
      if (!arg.IsNumber) Out += arg.Text;
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
    Out.append(number, r.ptr);
  }
}

}  // namespace ordwin
