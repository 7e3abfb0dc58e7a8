// The hosts-file rewrite behind the window's "hosts" choice: points the GG network's host names
// at 127.0.0.1, or removes every line that names them. Each call reads and rewrites the file.
#pragma once

#include <string>
#include <string_view>

#include "hosts/TextLines.h"

namespace ordwin {

// "127.0.0.1", a TAB and the host name.
std::string RedirectionEntry(std::string_view Host);

// Replaces, in place, every line that contains Host (case-sensitive substring) by its entry;
// appends the entry when no line names Host.
void RedirectHost(TLines& Lines, std::string_view Host);

// Redirects the ad-server host, then (unless AdsOnly) the other three, and writes the file back.
// Raises "Cannot open file %s" or "Cannot create file %s" with Path.
void RedirectHosts(const std::string& Path, bool AdsOnly);

// Deletes every line that names one of the four hosts, whatever address it maps it to.
void RemoveRedirections(const std::string& Path);

}  // namespace ordwin
