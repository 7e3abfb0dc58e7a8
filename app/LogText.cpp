#include "app/LogText.h"

#include <cstdint>
#include <cstring>

#include "gg/Cp1250.h"

namespace ordwin {

namespace {

bool Plain(unsigned char byte) { return byte == '\t' || (byte >= 0x20 && byte < 0x7F); }

// Whether the eight bytes at p are all printable ASCII (0x20 to 0x7E). A whole word is tested at
// once because every GG message passes here and its text is mostly such bytes; a TAB or any
// other byte leaves it to the byte-by-byte test.
bool EightPrintable(const char* p) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  uint64_t w;
  std::memcpy(&w, p, sizeof(w));
  uint64_t notDel = w ^ (0x7F * kOnes);
  // Known bit tricks: (x - n) & ~x has a high bit set in some byte iff some byte of x is below n
  // (for n <= 0x80, bytes of x below 0x80); the high bits themselves mark bytes from 0x80 up.
  uint64_t below20 = (w - 0x20 * kOnes) & ~w;
  uint64_t isDel = (notDel - kOnes) & ~notDel;
  return ((w | below20 | isDel) & kHighBits) == 0;
}

}  // namespace

void AppendLogText(std::string& out, std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i) {
    // Runs of plain ASCII, most of every line, are copied whole.
    size_t run = i;
    while (run + 8 <= line.size() && EightPrintable(line.data() + run)) run += 8;
    while (run < line.size() && Plain(static_cast<unsigned char>(line[run]))) ++run;
    if (run > i) {
      out.append(line.data() + i, run - i);
      i = run - 1;
      continue;
    }
    unsigned char b = static_cast<unsigned char>(line[i]);
    if (b == '\r' && i + 1 < line.size() && line[i + 1] == '\n') {
      out += '\n';
      ++i;
    } else if (b < 0x20) {
      AppendUtf8(out, 0x2400 + b);
    } else if (b == 0x7F) {
      AppendUtf8(out, 0x2421);
    } else if (Cp1250Unassigned(b)) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, Cp1250CodePoint(b));
    }
  }
}

}  // namespace ordwin
