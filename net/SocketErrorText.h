// The English text for a Windows Sockets error code, as it ends every socket error message.
#pragma once

#include <string>

namespace ordwin {

// "Not a WinSock error" for any code the table does not hold.
std::string SocketErrorText(int Code);

}  // namespace ordwin
