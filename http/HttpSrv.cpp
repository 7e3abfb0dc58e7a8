#include "http/HttpSrv.h"

namespace ordwin {

namespace {

constexpr int kListenBacklog = 511;

}  // namespace

THttpServer::THttpServer(TComponent* Owner) : TComponent(Owner), socketServer_(new TWSocketServer(this)) {
  SetClientClass<THttpConnection>();
}

THttpServer::~THttpServer() {
  MarkDestroying();
  delete socketServer_;  // leaves this component, which forgets it
}

void THttpServer::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == socketServer_) socketServer_ = nullptr;
}

void THttpServer::SetPort(const std::string& Value) { AssignTarget(port_, Value); }

void THttpServer::SetAddr(const std::string& Value) { AssignTarget(addr_, Value); }

void THttpServer::AssignTarget(std::string& Field, const std::string& Value) {
  if (Value == Field) return;
  Field = Value;
  if (socketServer_ == nullptr || socketServer_->State() != wsListening) return;
  socketServer_->Close();
  Start();
}

void THttpServer::Start() {
  if (socketServer_ == nullptr) socketServer_ = new TWSocketServer(this);
  TWSocketServer& s = *socketServer_;
  if (s.State() == wsListening) return;

  THttpConnectionClass make = ClientClass;
  s.ClientClass = [make](TComponent* Owner) -> TWSocketClient* { return make(Owner); };
  s.OnClientCreate = [this](TObject*, TWSocketClient* Client) { SocketServerClientCreate(Client); };
  s.OnClientConnect = [this](TObject*, TWSocketClient* Client, uint16_t Error) {
    SocketServerClientConnect(Client, Error);
  };
  s.OnClientDisconnect = [this](TObject*, TWSocketClient* Client, uint16_t Error) {
    SocketServerClientDisconnect(Client, Error);
  };
  s.OnSessionClosed = [this](TObject*, uint16_t) { NotifyServerStopped(); };
  s.OnChangeState = [this](TObject*, TSocketState, TSocketState NewState) {
    if (NewState == wsListening) NotifyServerStarted();
  };
  // A client that resets before it is accepted, or a process out of descriptors, fails one
  // accept; the listener must stay open for the next client.
  s.OnBgException = [](TObject*, const Exception&, bool& CanClose) { CanClose = false; };
  s.Banner.clear();
  // Every GG client of a network may ask at once (after the network came back, say); with the
  // socket's default of 5 most of them would wait a second or more for a second try.
  s.ListenBacklog = kListenBacklog;

  s.SetProto("tcp");
  s.SetPort(port_);
  s.SetAddr(addr_);
  s.Listen();
}

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

void THttpServer::SocketServerClientCreate(TWSocketClient* Client) {
  Client->LingerOnOff = LingerOnOff;
  Client->LingerTimeout = LingerTimeout;
}

void THttpServer::SocketServerClientConnect(TWSocketClient* Client, uint16_t Error) {
  auto* connection = dynamic_cast<THttpConnection*>(Client);
  if (connection == nullptr) throw Exception("Invalid class typecast");
  connection->SetLineMode(true);
  connection->LineEdit = false;
  connection->SetLineEnd("\n");
  connection->DocDir = DocDir;
  connection->DefaultDoc = DefaultDoc;
  connection->OnGetDocument = [this, connection](TObject*, THttpGetFlag& Flags) {
    if (OnGetDocument) OnGetDocument(this, connection, Flags);
  };
  connection->OnHeadDocument = [this, connection](TObject*, THttpGetFlag& Flags) {
    if (OnHeadDocument) OnHeadDocument(this, connection, Flags);
  };
  connection->OnPostDocument = [this, connection](TObject*, THttpGetFlag& Flags) {
    NotifyPostDocument(connection, Flags);
  };
  connection->OnPostedData = [this, connection](TObject*, uint16_t E) { NotifyPostedData(connection, E); };
  if (OnClientConnect) OnClientConnect(this, connection, Error);
}

void THttpServer::SocketServerClientDisconnect(TWSocketClient* Client, uint16_t Error) {
  auto* connection = dynamic_cast<THttpConnection*>(Client);
  if (connection != nullptr && OnClientDisconnect) OnClientDisconnect(this, connection, Error);
}

void THttpServer::NotifyServerStarted() {
  if (OnServerStarted) OnServerStarted(this);
}

void THttpServer::NotifyServerStopped() {
  if (OnServerStopped) OnServerStopped(this);
}

void THttpServer::NotifyPostDocument(THttpConnection* Client, THttpGetFlag& Flags) {
  if (OnPostDocument) OnPostDocument(this, Client, Flags);
}

void THttpServer::NotifyPostedData(THttpConnection* Client, uint16_t Error) {
  if (OnPostedData) OnPostedData(this, Client, Error);
}

}  // namespace ordwin
