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

// The most bytes a line of this many shows as.
constexpr size_t LogTextRoom(size_t cp1250Length) { return 3 * cp1250Length; }
// As AppendLogText, written at out, where LogTextRoom(cp1250Line.size()) bytes are free; returns
// the end of what it wrote.
char* WriteLogText(char* out, std::string_view cp1250Line);

}  // namespace ordwin
