// The formatting of the GG log lines and server texts: a Windows-1250 format with %d (signed
// decimal), %x (upper-case hexadecimal, no leading zeros) and %s (a byte string, copied
// unchanged). GG_CP1250 turns a UTF-8 literal into the Windows-1250 format once, where it is used.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "gg/Cp1250.h"

namespace ordwin {

struct TGgLogArg {
  TGgLogArg(std::string_view bytes) : Text(bytes) {}
  TGgLogArg(const std::string& bytes) : Text(bytes) {}
  template <std::integral T>
  TGgLogArg(T number) : IsNumber(true), Value(static_cast<int64_t>(number)) {}

  bool IsNumber = false;
  int64_t Value = 0;
  std::string_view Text;
};

// Appends the formatted text to out.
void GgFormatArgs(std::string& out, std::string_view cp1250Format, const TGgLogArg* args, size_t count);

template <class... TArgs>
void GgFormatInto(std::string& out, std::string_view cp1250Format, const TArgs&... values) {
  const TGgLogArg args[] = {TGgLogArg(values)..., TGgLogArg(std::string_view())};
  GgFormatArgs(out, cp1250Format, args, sizeof...(values));
}

// The log line of a message, "%d>wypowiedź dla %d o treści \"%s\"" with the sender, the recipient
// and the text. Its head, all before the text, is kept while messages of one sender to one
// recipient follow each other, as those of one read do: what is left for each is the text.
class TGgMessageLine {
public:
  // The line, valid until the next call. Inline while the head stays: what is left is the copy.
  std::string_view Make(int32_t sender, int32_t recipient, std::string_view cp1250Text) {
    if (head_ == 0 || sender != sender_ || recipient != recipient_) MakeHead(sender, recipient);
    // Past the head line_ is room, as long as the longest line since the head was made: the
    // text and the closing quote are written into it, nothing zero-filled while lines are no
    // longer.
    size_t length = head_ + cp1250Text.size() + 1;
    if (line_.size() < length) line_.resize(length);
    char* text = line_.data() + head_;
    if (!cp1250Text.empty()) std::memcpy(text, cp1250Text.data(), cp1250Text.size());
    text[cp1250Text.size()] = '"';
    return std::string_view(line_.data(), length);
  }
  // The length of the line's head, up to the text: the same while sender and recipient are.
  size_t HeadLength() const { return head_; }

private:
  void MakeHead(int32_t sender, int32_t recipient);

  std::string line_;  // the head, then room for the text and the quote
  size_t head_ = 0;   // 0 until the first line
  int32_t sender_ = 0;
  int32_t recipient_ = 0;
};

}  // namespace ordwin

#define GG_CP1250(Utf8Literal)                                           \
  ([]() -> const std::string& {                                          \
    static const std::string text = ::ordwin::Utf8ToCp1250(Utf8Literal); \
    return text;                                                         \
  }())
