#include "net/WinsockErrors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "net/SocketErrorText.h"
#include "net/SocksWSocket.h"

namespace ordwin {
namespace {

TEST(WinsockErrorsFromErrno, MapsNativeErrorsOntoWinsockCodes) {
  EXPECT_EQ(WSocketErrorFromErrno(EWOULDBLOCK), WSAEWOULDBLOCK);
  EXPECT_EQ(WSocketErrorFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WSocketErrorFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WSocketErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WSocketErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WSocketErrorFromErrno(EADDRNOTAVAIL), 10049);
  EXPECT_EQ(WSocketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WSocketErrorFromErrno(EACCES), 10013);
  EXPECT_EQ(WSocketErrorFromErrno(EPERM), 10013);
  EXPECT_EQ(WSocketErrorFromErrno(EINVAL), 10022);
  EXPECT_EQ(WSocketErrorFromErrno(ENFILE), 10024);
  EXPECT_EQ(WSocketErrorFromErrno(ENOMEM), 10055);
}

TEST(WinsockErrorsFromErrno, BrokenPipeCountsAsReset) { EXPECT_EQ(WSocketErrorFromErrno(EPIPE), WSAECONNRESET); }

// A native error without a Windows Sockets counterpart must not land on a code that means
// something else (10000 + EPROTO is "Too many levels of remote in path", 10000 + EDEADLK reads as
// would-block): it gets a code of its own whose text is the platform's.
TEST(WinsockErrorsFromErrno, ZeroStaysZeroAndUnmappedErrorsKeepTheirOwnMeaning) {
  EXPECT_EQ(WSocketErrorFromErrno(0), 0);
  for (int e : {EPROTO, EDEADLK, ENOENT, EIO, ENOSPC}) {
    int code = WSocketErrorFromErrno(e);
    EXPECT_NE(SocketErrorText(code), "Not a WinSock error") << "errno " << e;
    EXPECT_EQ(SocketErrorText(code), std::strerror(e)) << "errno " << e;
    EXPECT_NE(code, WSAEWOULDBLOCK);
    EXPECT_EQ(code, static_cast<uint16_t>(code)) << "carried in a 16-bit error word";
  }
  EXPECT_NE(WSocketErrorFromErrno(EPROTO), WSocketErrorFromErrno(EDEADLK));
  for (int code = kSocksErrorFirst; code <= kSocksErrorLast; ++code)
    EXPECT_EQ(SocketErrorText(code), "Not a WinSock error");
}

TEST(WinsockErrorsLastError, ReadsErrno) {
  errno = ECONNREFUSED;
  EXPECT_EQ(WSocketLastError(), 10061);
  errno = 0;
  EXPECT_EQ(WSocketLastError(), 0);
}

// Every socket error the platform commonly reports must reach the user with a real text.
TEST(WinsockErrorsFromErrno, EveryMappedSocketErrorHasAText) {
  for (int e : {EINTR,           EBADF,           EACCES,       EFAULT,       EINVAL,       EMFILE,       EAGAIN,
                EINPROGRESS,     EALREADY,        ENOTSOCK,     EDESTADDRREQ, EMSGSIZE,     EPROTOTYPE,   ENOPROTOOPT,
                EPROTONOSUPPORT, ESOCKTNOSUPPORT, EOPNOTSUPP,   EPFNOSUPPORT, EAFNOSUPPORT, EADDRINUSE,   EADDRNOTAVAIL,
                ENETDOWN,        ENETUNREACH,     ENETRESET,    ECONNABORTED, ECONNRESET,   EPIPE,        ENOBUFS,
                EISCONN,         ENOTCONN,        ESHUTDOWN,    ETOOMANYREFS, ETIMEDOUT,    ECONNREFUSED, ELOOP,
                ENAMETOOLONG,    EHOSTDOWN,       EHOSTUNREACH, ENOTEMPTY,    EUSERS,       EDQUOT,       ESTALE,
                EREMOTE})
    EXPECT_NE(SocketErrorText(WSocketErrorFromErrno(e)), "Not a WinSock error") << "errno " << e;
}

}  // namespace
}  // namespace ordwin
