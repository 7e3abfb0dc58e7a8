// The TCP ports of the GG service: the listener takes its clients there, and the server-address
// reply sends them there; clients that ask for encryption go to the second, with TLS.
#pragma once

namespace ordwin {

inline constexpr int kGgPort = 8074;
inline constexpr int kGgTlsPort = 443;

}  // namespace ordwin
