#include "gg/GgLogFormat.h"

#include <array>
#include <cstring>
#include <iterator>

namespace ordwin {

namespace {

// The longest text of one number: a sign and 19 digits.
constexpr size_t kLongestNumber = 20;
// Room on the stack for a line: a message line with a few hundred bytes of text.
constexpr size_t kStackRoom = 512;

// Writes the digits of value at out, least significant last, and returns their end. Every
// logged packet has numbers in its line: two decimal digits at a time this is several times
// quicker than the library's general conversion.
template <class TUnsigned>
char* PutDecimal(char* out, TUnsigned value) {
  static constexpr std::array<char, 200> kPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
      pairs[2 * i] = static_cast<char>('0' + i / 10);
      pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
  }();
  char digits[kLongestNumber];
  char* first = std::end(digits);
  while (value >= 100) {
    first -= 2;
    std::memcpy(first, &kPairs[2 * static_cast<size_t>(value % 100)], 2);
    value /= 100;
  }
  if (value >= 10) {
    first -= 2;
    std::memcpy(first, &kPairs[2 * static_cast<size_t>(value)], 2);
  } else {
    *--first = static_cast<char>('0' + value);
  }
  size_t n = static_cast<size_t>(std::end(digits) - first);
  std::memcpy(out, first, n);
  return out + n;
}

char* PutDecimal64(char* out, uint64_t value) {
  // 32-bit division is the cheaper one, and it serves every number but a 64-bit length's.
  return value <= UINT32_MAX ? PutDecimal(out, static_cast<uint32_t>(value)) : PutDecimal(out, value);
}

// Upper-case hexadecimal without leading zeros (status words: rare enough for a digit at a time).
char* PutHex(char* out, uint32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char digits[8];
  char* first = std::end(digits);
  do {
    *--first = kDigits[value % 16];
    value /= 16;
  } while (value != 0);
  size_t n = static_cast<size_t>(std::end(digits) - first);
  std::memcpy(out, first, n);
  return out + n;
}

}  // namespace

void GgFormatArgs(std::string& out, std::string_view cp1250Format, const TGgLogArg* args, size_t count) {
  // Every log line passes here: the line is written straight into room for the longest it can
  // be (the format, and each value once), then appended, or cut to what it took. A usual line
  // fits the stack: no zero-filled room in out for each.
  size_t room = cp1250Format.size();
  for (size_t a = 0; a < count; ++a) room += args[a].IsNumber ? kLongestNumber : args[a].Text.size();
  char onStack[kStackRoom];
  size_t start = out.size();
  if (room > sizeof(onStack)) out.resize(start + room);
  char* const first = room > sizeof(onStack) ? out.data() + start : onStack;
  char* p = first;
  auto put = [&p](std::string_view bytes) {
    if (bytes.empty()) return;  // an empty view may have no bytes at all to copy from
    std::memcpy(p, bytes.data(), bytes.size());
    p += bytes.size();
  };

  size_t next = 0;
  size_t i = 0;
  while (i < cp1250Format.size()) {
    // The text up to the next conversion goes in whole: a line is mostly text.
    size_t percent = cp1250Format.find('%', i);
    if (percent == std::string_view::npos || percent + 1 >= cp1250Format.size()) {
      put(cp1250Format.substr(i));
      break;
    }
    put(cp1250Format.substr(i, percent - i));
    char conversion = cp1250Format[percent + 1];
    i = percent + 2;
    if (conversion == '%') {
      *p++ = '%';
      continue;
    }
    if (next >= count) continue;
    const TGgLogArg& arg = args[next++];
    if (conversion == 's') {
      if (!arg.IsNumber) put(arg.Text);
      continue;
    }
    if (!arg.IsNumber) continue;
    if (conversion == 'x') {
      p = PutHex(p, static_cast<uint32_t>(arg.Value));
    } else {
      if (arg.Value < 0) *p++ = '-';
      // The magnitude of the most negative value too: negated as unsigned.
      p = PutDecimal64(p, arg.Value < 0 ? 0 - static_cast<uint64_t>(arg.Value) : static_cast<uint64_t>(arg.Value));
    }
  }
  if (first == onStack)
    out.append(onStack, static_cast<size_t>(p - onStack));
  else
    out.resize(start + static_cast<size_t>(p - first));
}

void TGgMessageLine::MakeHead(int32_t sender, int32_t recipient) {
  line_.clear();
  GgFormatInto(line_, GG_CP1250("%d>wypowiedź dla %d o treści \""), sender, recipient);
  head_ = line_.size();
  sender_ = sender;
  recipient_ = recipient;
}

}  // namespace ordwin
