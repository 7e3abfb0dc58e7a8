#include "gg/GgHtml.h"

#include <charconv>

#include "gg/Cp1250.h"

namespace ordwin {

namespace {

// '&', the name or number of a reference and ';' take at most this many bytes ("&#x10FFFF;").
constexpr size_t kLongestReference = 10;

// The character of a reference between '&' and ';', or 0 when it is not one.
char32_t Reference(std::string_view name) {
  if (name == "lt") return '<';
  if (name == "gt") return '>';
  if (name == "amp") return '&';
  if (name == "quot") return '"';
  if (name == "apos") return '\'';
  if (name == "nbsp") return 0xA0;
  if (name.size() < 2 || name[0] != '#') return 0;
  bool hex = name[1] == 'x' || name[1] == 'X';
  std::string_view digits = name.substr(hex ? 2 : 1);
  uint32_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) return 0;
  if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return value;
}

bool IsLineBreak(std::string_view tag) {
  if (tag.size() < 2 || (tag[0] != 'b' && tag[0] != 'B') || (tag[1] != 'r' && tag[1] != 'R')) return false;
  return tag.size() == 2 || tag[2] == ' ' || tag[2] == '/';
}

}  // namespace

std::string TextToHtml(std::string_view utf8) {
  std::string html = "<span>";
  html.reserve(utf8.size() + 16);
  for (size_t i = 0; i < utf8.size(); ++i) {
    char c = utf8[i];
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
        if (i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
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

std::string HtmlToText(std::string_view html) {
  std::string text;
  text.reserve(html.size());
  size_t i = 0;
  while (i < html.size()) {
    char c = html[i];
    if (c == '<') {
      size_t close = html.find('>', i);
      if (close == std::string_view::npos) break;  // a tag cut short: nothing after it is text
      if (IsLineBreak(html.substr(i + 1, close - i - 1))) text += '\n';
      i = close + 1;
      continue;
    }
    if (c == '&') {
      // Only as far as the longest reference reaches: a search to the end from every '&' made
      // a text of ampersands cost the square of its length.
      size_t semi = html.substr(i, kLongestReference + 1).find(';');
      char32_t ch = semi == std::string_view::npos ? 0 : Reference(html.substr(i + 1, semi - 1));
      semi += i;
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
