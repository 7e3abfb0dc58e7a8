#include "net/WinsockErrors.h"

#include <cerrno>

namespace ordwin {

namespace {

struct TErrnoCode {
  int Errno;
  int Code;
};

// A send to a peer that has gone (EPIPE) is a reset, so the send queue treats it as a lost
// connection and not as a failure of its own.
constexpr TErrnoCode kErrnoCodes[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},          {EPERM, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},          {EMFILE, 10024},          {ENFILE, 10024},
    {EAGAIN, 10035},       {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},     {EALREADY, 10037},
    {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},       {EUSERS, 10068},
    {EDQUOT, 10069},       {ESTALE, 10070},          {EREMOTE, 10071},
};

}  // namespace

int WSocketErrorFromErrno(int nativeError) {
  if (nativeError == 0) return 0;
  for (const TErrnoCode& e : kErrnoCodes)
    if (e.Errno == nativeError) return e.Code;
  // 10000 + errno would land on codes that mean something else (EDEADLK on would-block).
  if (nativeError > 0 && nativeError < kNativeErrorLimit) return kNativeErrorBase + nativeError;
  return kNativeErrorBase;
}

int WSocketLastError() { return WSocketErrorFromErrno(errno); }

}  // namespace ordwin
