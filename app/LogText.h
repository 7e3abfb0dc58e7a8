// How a log line of Windows-1250 bytes is shown: as UTF-8 text that neither a text box nor a
// terminal can misread.
#pragma once

#include <string>
#include <string_view>

namespace ordwin {

// CR LF starts a new line ('\n'); TAB stays; every other control byte, lone CR and lone LF
// included, shows as its Unicode control picture (NUL as U+2400, ESC as U+241B, DEL as U+2421);
// the bytes the code page leaves unassigned show as U+FFFD. Appends to out.
void AppendLogText(std::string& out, std::string_view cp1250Line);

}  // namespace ordwin
