// How a log line of Windows-1250 bytes is shown: as UTF-8 text that neither a text box nor a
// terminal can misread.
#pragma once

#include <string>
#include <string_view>

namespace ordwin {

// TAB stays; every other control byte, CR and LF included, shows as its Unicode control picture
// (NUL as U+2400, ESC as U+241B, DEL as U+2421), so that no text a client sent can start a line
// of the log; the bytes the code page leaves unassigned show as U+FFFD. Appends to out.
void AppendLogText(std::string& out, std::string_view cp1250Line);

}  // namespace ordwin
