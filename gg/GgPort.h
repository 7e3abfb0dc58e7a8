// The TCP port of the GG service: the listener takes its clients there, and the server-address
// reply sends them there.
#pragma once

namespace ordwin {

inline constexpr int kGgPort = 8074;

}  // namespace ordwin
