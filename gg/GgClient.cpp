#include "gg/GgClient.h"

#include "gg/GgClientIndex.h"
#include "net/FlagScope.h"

namespace ordwin {

TGgClient::TGgClient(TComponent* Owner) : TWSocketClient(Owner) {
  if (Owner != nullptr) {
    Server = dynamic_cast<TCustomWSocketServer*>(Owner);
    if (Server == nullptr) throw Exception("Invalid class typecast");
  }
  ReportRawData = true;
  ComponentOptions |= wsoNoReceiveLoop;
  OnDataSent = [this](TObject* Sender, uint16_t Error) { ClientDataSent(Sender, Error); };
  OnSessionClosed = [this](TObject* Sender, uint16_t Error) { ClientSessionClosed(Sender, Error); };
  CreateAuxSocket();
}

TGgClient::~TGgClient() {
  if (index_ != nullptr) index_->Remove(this, uin_);
  try {
    FreeAuxSocket();
  } catch (const std::exception&) {
  }
}

void TGgClient::SetUin(int32_t Value) {
  if (index_ != nullptr && Value != uin_) {
    index_->Remove(this, uin_);
    index_->Add(this, Value);
  }
  uin_ = Value;
}

void TGgClient::JoinIndex(TGgClientIndex* Index, uint64_t AcceptOrder) {
  if (index_ != nullptr) index_->Remove(this, uin_);
  index_ = Index;
  acceptOrder_ = AcceptOrder;
  if (index_ != nullptr) index_->Add(this, uin_);
}

void TGgClient::CreateAuxSocket() { AuxSocket = new TWSocket(this); }

void TGgClient::FreeAuxSocket() {
  delete AuxSocket;
  AuxSocket = nullptr;
}

void TGgClient::ClientDataSent(TObject*, uint16_t) { FlushPendingOutput(); }

void TGgClient::ClientSessionClosed(TObject*, uint16_t Error) {
  if (Error != 0) {
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

void TGgClient::DoClose(bool Shut, uint16_t Error) {
  // A send that finds the connection lost closes it from inside TryToSend: push only once.
  if (Shut && State() == wsConnected && !pushingBeforeClose_) {
    FlagScope pushing(pushingBeforeClose_);
    TryToSend();
  }
  TWSocketClient::DoClose(Shut, Error);
}

void TGgClient::DoDataSent(uint16_t Error) {
  TWSocketClient::DoDataSent(Error);
  if (ShutdownWhenSent) Shutdown(1);
}

}  // namespace ordwin
