#include "gg/GgHtml.h"

#include <charconv>

#include "gg/Cp1250.h"

namespace ordwin {

namespace {

// The character of a reference between '&' and ';', or 0 when it is not one.
char32_t Reference(std::string_view Name) {
  if (Name == "lt") return '<';
  if (Name == "gt") return '>';
  if (Name == "amp") return '&';
  if (Name == "quot") return '"';
  if (Name == "apos") return '\'';
  if (Name == "nbsp") return 0xA0;
  if (Name.size() < 2 || Name[0] != '#') return 0;
  bool hex = Name[1] == 'x' || Name[1] == 'X';
  std::string_view digits = Name.substr(hex ? 2 : 1);
  uint32_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) return 0;
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return value;
}

bool IsLineBreak(std::string_view Tag) {
  if (Tag.size() < 2 || (Tag[0] != 'b' && Tag[0] != 'B') || (Tag[1] != 'r' && Tag[1] != 'R')) return false;
  return Tag.size() == 2 || Tag[2] == ' ' || Tag[2] == '/';
}

}  // namespace

std::string TextToHtml(std::string_view Utf8) {
  std::string html = "<span>";
  html.reserve(Utf8.size() + 16);
  for (size_t i = 0; i < Utf8.size(); ++i) {
    char c = Utf8[i];
    switch (c) {
      case '<':
        html += "&lt;";
        break;
      case '>':
        html += "&gt;";
        break;
      case '&':
        html += "&amp;";
        break;
      case '"':
        html += "&quot;";
        break;
      case '\'':
        html += "&apos;";
        break;
      case '\r':
        if (i + 1 < Utf8.size() && Utf8[i + 1] == '\n') ++i;
        html += "<br>";
        break;
      case '\n':
        html += "<br>";
        break;
      default:
        html += c;
        break;
    }
  }
  html += "</span>";
  return html;
}

std::string HtmlToText(std::string_view Html) {
  std::string text;
  text.reserve(Html.size());
  size_t i = 0;
  while (i < Html.size()) {
    char c = Html[i];
    if (c == '<') {
      size_t close = Html.find('>', i);
      if (close == std::string_view::npos) break;  // a tag cut short: nothing after it is text
      if (IsLineBreak(Html.substr(i + 1, close - i - 1))) text += '\n';
      i = close + 1;
      continue;
    }
    if (c == '&') {
      size_t semi = Html.find(';', i);
      char32_t ch = semi == std::string_view::npos || semi - i > 10 ? 0 : Reference(Html.substr(i + 1, semi - i - 1));
      if (ch != 0) {
        AppendUtf8(text, ch);
        i = semi + 1;
        continue;
      }
    }
    text += c;
    ++i;
  }
  return text;
}

}  // namespace ordwin
