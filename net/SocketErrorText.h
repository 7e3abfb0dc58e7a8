// The English text for a Windows Sockets error code, as it ends every socket error message.
#pragma once

#include <string>

namespace ordwin {

// The platform's own text for a native error without a Windows Sockets code (kNativeErrorBase
// + errno); "Not a WinSock error" for any other code the table does not hold.
std::string SocketErrorText(int code);

}  // namespace ordwin
