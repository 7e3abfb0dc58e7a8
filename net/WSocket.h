// TWSocket: the socket object that programs use, the end of the socket class chain
// (socket core, SOCKS, TLS, line mode, synchronous waiting). Owned by its owner component, or by
// whoever made it when it has none.
#pragma once

#include "net/SyncWSocket.h"

namespace ordwin {

class TWSocket : public TCustomSyncWSocket {
public:
  explicit TWSocket(TComponent* owner) : TCustomSyncWSocket(owner) {}
  ~TWSocket() override;
};

}  // namespace ordwin
