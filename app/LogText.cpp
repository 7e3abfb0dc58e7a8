#include "app/LogText.h"

#include "gg/Cp1250.h"

namespace ordwin {

namespace {

bool Unassigned(unsigned char byte) {
  return byte == 0x81 || byte == 0x83 || byte == 0x88 || byte == 0x90 || byte == 0x98;
}

bool Plain(unsigned char byte) { return byte == '\t' || (byte >= 0x20 && byte < 0x7F); }

}  // namespace

void AppendLogText(std::string& out, std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i) {
    // Runs of plain ASCII, most of every line, are copied whole.
    size_t run = i;
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
    } else if (Unassigned(b)) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, Cp1250CodePoint(b));
    }
  }
}

}  // namespace ordwin
