// Windows Sockets error codes, and the one table that maps native error numbers onto them.
#pragma once

namespace ordwin {

constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Native errors without a Windows Sockets counterpart: kNativeErrorBase + errno, a block no
// other code uses (the SOCKS layer's are 20001 to 20017, a wait's end 12001), whose text is the
// platform's own. It fits the 16-bit error word of a notification.
constexpr int kNativeErrorBase = 30000;
constexpr int kNativeErrorLimit = 4096;
static_assert(kNativeErrorBase + kNativeErrorLimit <= 0xFFFF);

// The Windows Sockets code for a native errno value (0 stays 0).
int WSocketErrorFromErrno(int nativeError);
// The code for the errno left by the system call that just failed; read it at once.
int WSocketLastError();

}  // namespace ordwin
