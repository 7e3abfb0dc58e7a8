#include "net/SocketErrorText.h"

#include <gtest/gtest.h>

namespace ordwin {
namespace {

TEST(SocketErrorText, KnownCodes) {
  EXPECT_EQ(SocketErrorText(0), "No Error");
  EXPECT_EQ(SocketErrorText(10004), "Interrupted system call");
  EXPECT_EQ(SocketErrorText(10022), "Invalid argument");
  EXPECT_EQ(SocketErrorText(10035), "Operation would block");
  EXPECT_EQ(SocketErrorText(10047), "Address family not supported by protocol family");
  EXPECT_EQ(SocketErrorText(10048), "Address already in use");
  EXPECT_EQ(SocketErrorText(10054), "Connection reset by peer");
  EXPECT_EQ(SocketErrorText(10058), "Can't send after socket shutdown");
  EXPECT_EQ(SocketErrorText(10059), "Too many references: can't splice");
  EXPECT_EQ(SocketErrorText(10069), "Disc quota exceeded");
  EXPECT_EQ(SocketErrorText(10071), "Too many levels of remote in path");
  EXPECT_EQ(SocketErrorText(10091), "Network sub-system is unusable");
  EXPECT_EQ(SocketErrorText(10092), "WinSock DLL cannot support this application");
  EXPECT_EQ(SocketErrorText(10093), "WinSock not initialized");
  EXPECT_EQ(SocketErrorText(11001), "Host not found");
  EXPECT_EQ(SocketErrorText(11002), "Non-authoritative host not found");
  EXPECT_EQ(SocketErrorText(11003), "Non-recoverable error");
  EXPECT_EQ(SocketErrorText(11004), "No Data");
}

TEST(SocketErrorText, CodesBetweenAndBeyondTheTableAreNotWinSockErrors) {
  for (int code :
       {12345, -1, 1, 10000, 10001, 10005, 10023, 10025, 10034, 10072, 10090, 10094, 11000, 11005, 10048 + 65536})
    EXPECT_EQ(SocketErrorText(code), "Not a WinSock error") << code;
}

}  // namespace
}  // namespace ordwin
