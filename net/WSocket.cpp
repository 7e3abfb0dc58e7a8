#include "net/WSocket.h"

namespace ordwin {

TWSocket::~TWSocket() = default;

}  // namespace ordwin
