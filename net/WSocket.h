// TWSocket: the socket object that programs use, the end of the socket class chain.
#pragma once

#include "net/CustomWSocket.h"

namespace ordwin {

class TWSocket : public TCustomWSocket {
public:
  explicit TWSocket(TComponent* Owner) : TCustomWSocket(Owner) {}
  ~TWSocket() override;
};

}  // namespace ordwin
