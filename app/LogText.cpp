#include "app/LogText.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "gg/Cp1250.h"

namespace ordwin {

namespace {

bool Plain(unsigned char byte) { return byte == '\t' || (byte >= 0x20 && byte < 0x7F); }

// What one byte shows as: itself when plain, otherwise the UTF-8 bytes of its control picture,
// of U+FFFD or of its letter.
struct TShownByte {
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

#if defined(__SSE2__)
// 0xFF in each byte of the sixteen at p that is printable ASCII, 0 in the others.
__m128i Printable16(const char* p) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Compared as signed bytes, those from 0x80 up are below 0x20 too.
  return _mm_andnot_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)), _mm_cmpgt_epi8(v, _mm_set1_epi8(0x1F)));
}

// How many of the sixteen bytes at p are printable ASCII before the first that is not.
unsigned PlainOf16(const char* p) {
  unsigned odd = ~static_cast<unsigned>(_mm_movemask_epi8(Printable16(p))) & 0xFFFFu;
  return odd == 0 ? 16 : static_cast<unsigned>(std::countr_zero(odd));
}

// Whether all 64 bytes at p are printable ASCII: a message's text usually is, whole.
bool Plain64(const char* p) {
  __m128i all = _mm_and_si128(_mm_and_si128(Printable16(p), Printable16(p + 16)),
                              _mm_and_si128(Printable16(p + 32), Printable16(p + 48)));
  return _mm_movemask_epi8(all) == 0xFFFF;
}
#endif

}  // namespace

void AppendLogText(std::string& out, std::string_view line) {
  size_t start = out.size();
  out.resize(start + LogTextRoom(line.size()));
  out.resize(static_cast<size_t>(WriteLogText(out.data() + start, line) - out.data()));
}

char* WriteLogText(char* p, std::string_view line) {
  const std::array<TShownByte, 256>& shown = ShownBytes();
  // Runs of plain bytes, most of every line, go in sixteen or eight at a time, copied before
  // they are looked at: within the room, since those bytes are still to come.
  const char* in = line.data();
  const char* const end = in + line.size();
  auto showOne = [&] {
    const TShownByte& s = shown[static_cast<unsigned char>(*in++)];
    std::memcpy(p, s.Utf8, sizeof(s.Utf8));
    p += s.Length;
  };
#if defined(__SSE2__)
  while (end - in >= 64 && Plain64(in)) {
    std::memcpy(p, in, 64);
    in += 64;
    p += 64;
  }
  while (end - in >= 16) {
    std::memcpy(p, in, 16);
    unsigned plain = PlainOf16(in);
    in += plain;
    p += plain;
    if (plain < 16) showOne();
  }
#endif
  while (end - in >= 8) {
    std::memcpy(p, in, 8);
    uint64_t odd = NotPrintable(in);
    size_t plain = odd == 0 ? 8 : static_cast<size_t>(std::countr_zero(odd)) / 8;
    in += plain;
    p += plain;
    if (plain < 8) showOne();
  }
  while (in != end) showOne();
  return p;
}

}  // namespace ordwin
