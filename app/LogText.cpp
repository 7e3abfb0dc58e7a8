#include "app/LogText.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "gg/Cp1250.h"

namespace ordwin {

namespace {

bool Plain(unsigned char byte) { return byte == '\t' || (byte >= 0x20 && byte < 0x7F); }

// What one byte shows as: itself when plain, otherwise the UTF-8 bytes of its control picture,
// of U+FFFD or of its letter.
struct TShownByte {
  bool Plain = false;
  uint8_t Length = 0;
  char Utf8[3] = {};
};

// Worked out once for all 256 bytes: every log line passes here.
const std::array<TShownByte, 256>& ShownBytes() {
  static const std::array<TShownByte, 256> table = [] {
    std::array<TShownByte, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
      unsigned char byte = static_cast<unsigned char>(b);
      std::string utf8;
      if (Plain(byte))
        utf8 = static_cast<char>(byte);
      else if (byte < 0x20)
        AppendUtf8(utf8, 0x2400 + byte);
      else if (byte == 0x7F)
        AppendUtf8(utf8, 0x2421);
      else if (Cp1250Unassigned(byte))
        AppendUtf8(utf8, 0xFFFD);
      else
        AppendUtf8(utf8, Cp1250CodePoint(byte));
      t[b].Plain = Plain(byte);
      t[b].Length = static_cast<uint8_t>(utf8.size());
      std::memcpy(t[b].Utf8, utf8.data(), utf8.size());
    }
    return t;
  }();
  return table;
}

// The bytes of the eight at p that are not printable ASCII (0x20 to 0x7E): the high bit of
// each such byte is set, exact up to the first one. A whole word is tested at once because
// every GG message passes here and its text is mostly such bytes.
uint64_t NotPrintable(const char* p) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  uint64_t w;
  std::memcpy(&w, p, sizeof(w));
  // The first byte least significant, on any processor: a borrow or carry only moves up.
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  // Known bit tricks: (x - 0x20) & ~x sets the high bit of a byte below 0x20, x + 1 that of 0x7F,
  // and x itself that of a byte from 0x80 up. A borrow or carry can only come from such a byte,
  // so the bytes below the first one flagged are exact.
  uint64_t below20 = (w - 0x20 * kOnes) & ~w;
  return (below20 | (w + kOnes) | w) & kHighBits;
}

// How many bytes from the start of text are shown as they are.
size_t PlainRun(std::string_view text, const std::array<TShownByte, 256>& shown) {
  size_t run = 0;
  while (run + 8 <= text.size()) {
    uint64_t odd = NotPrintable(text.data() + run);
    if (odd == 0) {
      run += 8;
      continue;
    }
    run += static_cast<size_t>(std::countr_zero(odd)) / 8;
    if (text[run] != '\t') return run;
    ++run;
  }
  while (run < text.size() && shown[static_cast<unsigned char>(text[run])].Plain) ++run;
  return run;
}

}  // namespace

void AppendLogText(std::string& out, std::string_view line) {
  const std::array<TShownByte, 256>& shown = ShownBytes();
  // No byte shows as more than three: the text is written straight into room made for that,
  // then cut to what it took.
  size_t start = out.size();
  out.resize(start + 3 * line.size());
  char* p = out.data() + start;
  size_t i = 0;
  while (i < line.size()) {
    // Runs of plain ASCII, most of every line, are copied whole.
    size_t run = PlainRun(line.substr(i), shown);
    std::memcpy(p, line.data() + i, run);
    p += run;
    i += run;
    if (i == line.size()) break;
    const TShownByte& s = shown[static_cast<unsigned char>(line[i])];
    std::memcpy(p, s.Utf8, sizeof(s.Utf8));
    p += s.Length;
    ++i;
  }
  out.resize(static_cast<size_t>(p - out.data()));
}

}  // namespace ordwin
