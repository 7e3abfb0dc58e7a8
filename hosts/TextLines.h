// A text file handled as a list of lines: read whole and split at CR LF, LF or CR; written whole
// with CR LF after every line, replacing the old file in one step.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ordwin {

using TLines = std::vector<std::string>;

// "a\r\nb" and "a\nb\r" both give {"a", "b"}; an empty text gives no lines.
TLines SplitLines(std::string_view text);
// Every line followed by CR LF, the last one included.
std::string JoinLines(const TLines& lines);

// Raises Exception "Cannot open file <path>" when the file cannot be read.
TLines ReadLines(const std::string& path);

// Replaces the file with lines: writes a temporary file in the same folder with the old file's
// permission bits, owner and security labels, then renames it over the old one (through a
// symbolic link to its target). A file that cannot be renamed over (a bind mount) or whose
// labels cannot be copied is rewritten in place instead. A file without write permission bits
// is read-only, also to root. Raises Exception "Cannot create file <path>" on any failure; the
// old content is then whole.
void ReplaceLines(const std::string& path, const TLines& lines);

}  // namespace ordwin
