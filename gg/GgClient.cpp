#include "gg/GgClient.h"

#include "gg/GgClientIndex.h"

namespace ordwin {

TGgClient::TGgClient(TComponent* owner) : TWSocketClient(owner) {
  if (owner != nullptr) {
    Server = dynamic_cast<TCustomWSocketServer*>(owner);
    if (Server == nullptr) throw Exception("Invalid class typecast");
  }
  ComponentOptions |= wsoNoReceiveLoop;
  OnDataSent = [this](TObject* sender, uint16_t error) { ClientDataSent(sender, error); };
  OnSessionClosed = [this](TObject* sender, uint16_t error) { ClientSessionClosed(sender, error); };
  CreateAuxSocket();
}

TGgClient::~TGgClient() {
  if (index_ != nullptr) index_->Leave(this);
  try {
    FreeAuxSocket();
  } catch (const std::exception&) {
  }
}

void TGgClient::SetUin(int32_t value) {
  if (index_ != nullptr && value != uin_) index_->Renumber(this, value);
  uin_ = value;
}

void TGgClient::JoinIndex(TGgClientIndex* index, uint64_t acceptOrder) {
  if (index_ != nullptr) index_->Leave(this);
  index_ = index;
  acceptOrder_ = acceptOrder;
  if (index_ != nullptr) index_->Join(this);
}

void TGgClient::CreateAuxSocket() { AuxSocket = new TWSocket(this); }

void TGgClient::FreeAuxSocket() {
  delete AuxSocket;
  AuxSocket = nullptr;
}

void TGgClient::ClientDataSent(TObject*, uint16_t) { FlushPendingOutput(); }

void TGgClient::ClientSessionClosed(TObject*, uint16_t error) {
  CloseError = error;
  if (error != 0) {
    OnDataSent = nullptr;
    if (State() != wsInvalidState && State() != wsClosed) {
      CloseDelayed();
      return;
    }
  }
  // This handler is the one running: detaching it is safe because nothing of it is used after.
  OnSessionClosed = nullptr;
  if (OnConnectionClosed) OnConnectionClosed(this);
}

int TGgClient::FlushPendingOutput() {
  if (PendingOutput.empty()) return 0;
  int taken = SendString(PendingOutput);
  if (taken > 0) PendingOutput.erase(0, static_cast<size_t>(taken));
  return taken;
}

void TGgClient::DoDataSent(uint16_t error) {
  TWSocketClient::DoDataSent(error);
  if (ShutdownWhenSent) Shutdown(1);
}

}  // namespace ordwin
