#include "app/LogText.h"

#include "gg/Cp1250.h"

namespace ordwin {

namespace {

bool Unassigned(unsigned char Byte) {
  return Byte == 0x81 || Byte == 0x83 || Byte == 0x88 || Byte == 0x90 || Byte == 0x98;
}

bool Plain(unsigned char Byte) { return Byte == '\t' || (Byte >= 0x20 && Byte < 0x7F); }

}  // namespace

void AppendLogText(std::string& Out, std::string_view Line) {
  for (size_t i = 0; i < Line.size(); ++i) {
    // Runs of plain ASCII, most of every line, are copied whole.
    size_t run = i;
    while (run < Line.size() && Plain(static_cast<unsigned char>(Line[run]))) ++run;
    if (run > i) {
      Out.append(Line.data() + i, run - i);
      i = run - 1;
      continue;
    }
    unsigned char b = static_cast<unsigned char>(Line[i]);
    if (b == '\r' && i + 1 < Line.size() && Line[i + 1] == '\n') {
      Out += '\n';
      ++i;
    } else if (b < 0x20) {
      AppendUtf8(Out, 0x2400 + b);
    } else if (b == 0x7F) {
      AppendUtf8(Out, 0x2421);
    } else if (Unassigned(b)) {
      AppendUtf8(Out, 0xFFFD);
    } else {
      AppendUtf8(Out, Cp1250CodePoint(b));
    }
  }
}

}  // namespace ordwin
