#include "http/HttpSrv.h"

#include <algorithm>
#include <chrono>

namespace ordwin {

namespace {

constexpr uint32_t WM_HTTP_SWEEP = 1065;

}  // namespace

THttpServer::THttpServer(TComponent* owner) : TComponent(owner), socketServer_(new TWSocketServer(this)) {
  SetClientClass<THttpConnection>();
}

THttpServer::~THttpServer() {
  MarkDestroying();
  if (sweepTimer_ != 0) endpoint_.Loop().KillTimer(sweepTimer_);
  delete socketServer_;  // leaves this component, which forgets it
}

void THttpServer::Notification(TComponent* aComponent, TOperation operation) {
  TComponent::Notification(aComponent, operation);
  if (operation == TOperation::opRemove && aComponent == socketServer_) socketServer_ = nullptr;
}

void THttpServer::SetPort(const std::string& value) { AssignTarget(port_, value); }

void THttpServer::SetAddr(const std::string& value) { AssignTarget(addr_, value); }

void THttpServer::AssignTarget(std::string& field, const std::string& value) {
  if (value == field) return;
  field = value;
  if (socketServer_ == nullptr || socketServer_->State() != wsListening) return;
  socketServer_->Close();
  Start();
}

void THttpServer::Start() {
  if (socketServer_ == nullptr) socketServer_ = new TWSocketServer(this);
  TWSocketServer& s = *socketServer_;
  if (s.State() == wsListening) return;

  THttpConnectionClass make = ClientClass;
  s.ClientClass = [make](TComponent* owner) -> TWSocketClient* { return make(owner); };
  s.OnClientCreate = [this](TObject*, TWSocketClient* client) { SocketServerClientCreate(client); };
  s.OnClientConnect = [this](TObject*, TWSocketClient* client, uint16_t error) {
    SocketServerClientConnect(client, error);
  };
  s.OnClientDisconnect = [this](TObject*, TWSocketClient* client, uint16_t error) {
    SocketServerClientDisconnect(client, error);
  };
  s.OnSessionClosed = [this](TObject*, uint16_t) { NotifyServerStopped(); };
  s.OnChangeState = [this](TObject*, TSocketState, TSocketState newState) {
    if (newState == wsListening) NotifyServerStarted();
  };
  // A client that resets before it is accepted, or a process out of descriptors, fails one
  // accept; the listener must stay open for the next client.
  s.OnBgException = [](TObject*, const Exception&, bool& canClose) { canClose = false; };
  s.Banner.clear();
  s.ListenBacklog = TCustomWSocket::kServerListenBacklog;

  s.SetProto("tcp");
  s.SetPort(port_);
  s.SetAddr(addr_);
  s.Listen();
}

void THttpServer::SocketServerClientCreate(TWSocketClient* client) {
  client->LingerOnOff = LingerOnOff;
  client->LingerTimeout = LingerTimeout;
}

void THttpServer::SocketServerClientConnect(TWSocketClient* client, uint16_t error) {
  auto* connection = dynamic_cast<THttpConnection*>(client);
  if (connection == nullptr) throw Exception("Invalid class typecast");
  if (TConnectionCap::TVerdict why = Cap.Admit(connection); why != TConnectionCap::cvAdmitted) {
    connection->Close();
    if (OnClientRefused) OnClientRefused(this, connection, why);
    return;
  }
  connection->SetLineMode(true);
  connection->LineEdit = false;
  connection->SetLineEnd("\n");
  connection->DocDir = DocDir;
  connection->DefaultDoc = DefaultDoc;
  connection->OnGetDocument = [this, connection](TObject*, THttpGetFlag& flags) {
    if (OnGetDocument) OnGetDocument(this, connection, flags);
  };
  connection->OnHeadDocument = [this, connection](TObject*, THttpGetFlag& flags) {
    if (OnHeadDocument) OnHeadDocument(this, connection, flags);
  };
  connection->OnPostDocument = [this, connection](TObject*, THttpGetFlag& flags) {
    NotifyPostDocument(connection, flags);
  };
  connection->OnPostedData = [this, connection](TObject*, uint16_t e) { NotifyPostedData(connection, e); };
  ArmSweep();
  if (OnClientConnect) OnClientConnect(this, connection, error);
}

void THttpServer::ArmSweep() {
  if (sweepTimer_ != 0 || RequestTimeoutMs <= 0) return;
  sweepTimer_ = endpoint_.Loop().SetTimer(endpoint_.Id(), WM_HTTP_SWEEP, std::max(RequestTimeoutMs / 10, 1));
}

void THttpServer::HandleMessage(TMessage& message) {
  if (message.Msg != WM_HTTP_SWEEP || static_cast<uint64_t>(message.WParam) != sweepTimer_) return;
  sweepTimer_ = 0;
  if (socketServer_ == nullptr || RequestTimeoutMs <= 0) return;
  auto deadline = std::chrono::steady_clock::now() - std::chrono::milliseconds(RequestTimeoutMs);
  for (int i = 0; i < socketServer_->CountClients(); ++i) {
    auto* connection = dynamic_cast<THttpConnection*>(socketServer_->ClientAt(i));
    if (connection == nullptr || connection->State() != wsConnected || !connection->WaitedPast(deadline)) continue;
    try {
      connection->Close();
    } catch (const std::exception&) {
    }
  }
  if (socketServer_->CountClients() > 0) ArmSweep();
}

void THttpServer::SocketServerClientDisconnect(TWSocketClient* client, uint16_t error) {
  if (!Cap.Release(client)) return;  // refused: it never was one of the server's connections
  auto* connection = dynamic_cast<THttpConnection*>(client);
  if (connection != nullptr && OnClientDisconnect) OnClientDisconnect(this, connection, error);
}

void THttpServer::NotifyPostDocument(THttpConnection* client, THttpGetFlag& flags) {
  if (OnPostDocument) OnPostDocument(this, client, flags);
}

void THttpServer::NotifyPostedData(THttpConnection* client, uint16_t error) {
  if (OnPostedData) OnPostedData(this, client, error);
}

// ---- Published; nothing in the program uses it ----

void THttpServer::Stop() {
  if (socketServer_ == nullptr) return;
  socketServer_->Close();
  for (int i = socketServer_->CountClients() - 1; i >= 0; --i) {
    try {
      if (TWSocketClient* client = socketServer_->ClientAt(i)) client->Abort();
    } catch (const std::exception&) {
    }
  }
}

void THttpServer::NotifyServerStarted() {
  if (OnServerStarted) OnServerStarted(this);
}

void THttpServer::NotifyServerStopped() {
  if (OnServerStopped) OnServerStopped(this);
}

}  // namespace ordwin
