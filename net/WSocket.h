// TWSocket: the socket object that programs use, the end of the socket class chain
// (socket core, then line mode).
#pragma once

#include "net/LineWSocket.h"

namespace ordwin {

class TWSocket : public TCustomLineWSocket {
public:
  explicit TWSocket(TComponent* Owner) : TCustomLineWSocket(Owner) {}
  ~TWSocket() override;
};

}  // namespace ordwin
