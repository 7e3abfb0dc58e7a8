// The GG network's host names that the window's "hosts" choice redirects to this computer, in
// the order every operation handles them, and the place of the system hosts file.
#pragma once

#include <string>
#include <string_view>

namespace ordwin {

inline constexpr std::string_view HostAdServer = "adserver.gadu-gadu.pl";
inline constexpr std::string_view HostServerAddress = "appmsg.gadu-gadu.pl";
inline constexpr std::string_view HostWebSite = "www.gadu-gadu.pl";
inline constexpr std::string_view HostUpdate = "update.gadu-gadu.pl";

inline constexpr std::string_view kRedirectedHosts[] = {HostAdServer, HostServerAddress, HostWebSite, HostUpdate};

// The system hosts file.
inline std::string HostsFilePath() { return "/etc/hosts"; }

}  // namespace ordwin
