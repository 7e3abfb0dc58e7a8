// The hosts-file rewrite behind the window's "hosts" choice: points the GG network's host names
// at 127.0.0.1, or removes every line that names them. Each call reads and rewrites the file.
#pragma once

#include <string>
#include <string_view>

#include "hosts/TextLines.h"

namespace ordwin {

// "127.0.0.1", a TAB and the host name.
std::string RedirectionEntry(std::string_view host);

// Replaces, in place, every line that contains host (case-sensitive substring) by its entry;
// appends the entry when no line names host.
void RedirectHost(TLines& lines, std::string_view host);

// Redirects the ad-server host, then (unless adsOnly) the other three, and writes the file back.
// Raises "Cannot open file %s" or "Cannot create file %s" with path.
void RedirectHosts(const std::string& path, bool adsOnly);

// Deletes every line that names one of the four hosts, whatever address it maps it to.
void RemoveRedirections(const std::string& path);

}  // namespace ordwin
