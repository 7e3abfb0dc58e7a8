// The set-up hints the window writes to RichEdit1 at start-up.
#pragma once

#include <string>

namespace ordwin {

// The companion GG client's web page, named in the second hint.
inline constexpr const char* kCompanionClientPage = "https://kelvadra.example/";

// How to send the GG network's own client to this server, for the given server address (UTF-8).
std::string StartupHint(const std::string& address);

// Where the companion client lets the user pick an alternative server.
std::string CompanionClientHint();

// The start-up warning when the HTTP port cannot be opened (two CRs part its sentences), and the
// hint line written after it: the HTTP port text, the address (UTF-8) and the GG port.
std::string HttpPortWarning(const std::string& httpPort, const std::string& address, int ggPort);
std::string HttpPortHint(const std::string& httpPort, const std::string& address, int ggPort);

// The file this process runs: the one the right to open low ports is given to.
std::string ProgramFile();

// The same two when the port was refused for want of rights (no other server holds it): each gives
// the setcap line that lets programFile open it.
std::string HttpPortRightsWarning(const std::string& httpPort, const std::string& programFile);
std::string HttpPortRightsHint(const std::string& httpPort, const std::string& programFile);

// The message store's file in the program's data folder.
inline constexpr const char* kMessageStoreFile = "wiadomosci.db";

// Written when messages for people who are not connected are kept, in the file at path (UTF-8),
// and when they cannot be.
std::string KeptMessagesHint(const std::string& path);
std::string KeptMessagesFailedHint(const std::string& path);

// The hint written when the GG port cannot be opened.
std::string GgPortHint(int ggPort);

// The hints written when GG over TLS does not run: its port is held by another server, its
// port was refused for want of rights (with the setcap line for programFile), or the
// certificate file at path (UTF-8) could not be used, for the reason given.
std::string TlsPortHint(int tlsPort);
std::string TlsPortRightsHint(int tlsPort, const std::string& programFile);
std::string TlsCertificateHint(const std::string& path, const std::string& reason);

}  // namespace ordwin
