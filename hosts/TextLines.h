// A text file handled as a list of lines: read whole and split at CR LF, LF or CR; written whole
// with CR LF after every line, replacing the old file in one step.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ordwin {

using TLines = std::vector<std::string>;

// "a\r\nb" and "a\nb\r" both give {"a", "b"}; an empty text gives no lines.
TLines SplitLines(std::string_view Text);
// Every line followed by CR LF, the last one included.
std::string JoinLines(const TLines& Lines);

// Raises Exception "Cannot open file <Path>" when the file cannot be read.
TLines ReadLines(const std::string& Path);

// Replaces the file with Lines: writes a temporary file in the same folder with the old file's
// permission bits, then renames it over the old one (through a symbolic link to its target).
// Raises Exception "Cannot create file <Path>" on any failure; the old file is then untouched.
void ReplaceLines(const std::string& Path, const TLines& Lines);

}  // namespace ordwin
