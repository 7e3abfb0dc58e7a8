#include "gg/GgGenericSerwer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace ordwin {

TGgGenericSerwer::TGgGenericSerwer(TComponent* Owner)
    : TComponent(Owner), socketServer_(std::make_unique<TWSocketServer>(nullptr)) {
  TWSocketServer& s = *socketServer_;
  s.SetAddr("0.0.0.0");
  s.Banner.clear();
  s.SetClientClass<TGgClient>();
  s.FlushTimeout = 60;
  s.LineEcho = false;
  s.LineEdit = false;
  s.SetLineMode(false);
  s.LingerOnOff = wsLingerOn;
  s.LingerTimeout = 0;
  s.SetLocalAddr("0.0.0.0");
  s.SetLocalPort("0");
  s.MaxClients = 0;
  s.MultiThreaded = false;
  s.SetProto("tcp");
  s.SetSendFlags(wsSendNormal);
  s.OnBgException = [this](TObject* Sender, const Exception& E, bool& CanClose) {
    BgExceptionHandler(Sender, E, CanClose);
  };
  s.OnClientConnect = [this](TObject* Sender, TWSocketClient* Client, uint16_t Error) {
    SocketServerClientConnect(Sender, Client, Error);
  };
  s.OnClientCreate = [this](TObject* Sender, TWSocketClient* Client) {
    SocketServerClientCreate(Sender, Client);
  };
  s.OnClientDisconnect = [this](TObject* Sender, TWSocketClient* Client, uint16_t Error) {
    SocketServerClientDisconnect(Sender, Client, Error);
  };
  s.OnSessionClosed = [this](TObject* Sender, uint16_t Error) { SocketServerSessionClosed(Sender, Error); };
}

TGgGenericSerwer::~TGgGenericSerwer() {
  MarkDestroying();
  try {
    DoDebugLog("TGgGenericSerwer.Destroy");
    CloseSocketServer();
  } catch (const std::exception&) {
  }
  socketServer_.reset();
}

void TGgGenericSerwer::SetPort(int32_t Value) {
  if (active_) throw Exception("Port property can only be modified when proxy is not active");
  port_ = Value;
}

TWSocketClientClass TGgGenericSerwer::ClientClass() const { return socketServer_->ClientClass; }

void TGgGenericSerwer::SetClientClass(TWSocketClientClass Value) {
  if (active_) throw Exception("ClientClass property can only be modified when proxy is not active");
  socketServer_->ClientClass = std::move(Value);
}

void TGgGenericSerwer::Listen(std::string& ErrorText) {
  ErrorText.clear();
  if (active_) return;
  try {
    socketServer_->SetPort(std::to_string(port_));
    socketServer_->SetAddr("0.0.0.0");
    socketServer_->SetProto("tcp");
    socketServer_->Listen();
    CheckListen(ErrorText);
    if (!ErrorText.empty()) {
      DoDebugLog("Listen failed (" + ErrorText + "), will close");
      Close();
    } else {
      active_ = true;
      DoServerListening();
    }
  } catch (const ESocketException& e) {
    ErrorText = e.Message();
  }
}

void TGgGenericSerwer::Close() {
  DoDebugLog("TGgGenericSerwer.Close");
  CloseSocketServer();
  active_ = false;
}

void TGgGenericSerwer::CloseSocketServer() {
  DoDebugLog("TGgGenericSerwer.CloseSocketServer");
  // Closing only posts each client's release, so the indexes stay put during the walk.
  int n = socketServer_->CountClients();
  for (int i = 0; i < n; ++i)
    if (TWSocketClient* client = socketServer_->ClientAt(i)) client->Close();
  if (!Destroying()) socketServer_->Close();
}

void TGgGenericSerwer::BgExceptionHandler(TObject*, const Exception& E, bool& CanClose) {
  CanClose = false;
  try {
    DoDebugLog("Background exception in server: " + E.Message());
  } catch (const std::exception&) {
  }
}

void TGgGenericSerwer::DoClientConnect(TGgClient* Client) {
  if (OnClientConnect) OnClientConnect(this, Client);
}

void TGgGenericSerwer::DoClientDataAvailable(TGgClient* Client, const std::string& Data) {
  if (OnClientDataAvailable && Client->ReportRawData) OnClientDataAvailable(this, Client, Data);
}

void TGgGenericSerwer::DoClientDisconnect(TGgClient* Client) {
  if (OnClientDisconnect) OnClientDisconnect(this, Client);
}

void TGgGenericSerwer::DoDebugLog(const std::string& LogMessage) {
  if (OnDebugLog) OnDebugLog(this, LogMessage);
}

void TGgGenericSerwer::DoServerClosed(uint16_t Error) {
  if (OnServerClosed) OnServerClosed(this, Error);
}

void TGgGenericSerwer::DoServerListening() {
  if (OnServerListening) OnServerListening(this);
}

void TGgGenericSerwer::ShutdownClientWhenSent(TGgClient* Client) {
  if (Client->SendQueueEmpty())
    Client->Shutdown(1);
  else
    Client->ShutdownWhenSent = true;
}

void TGgGenericSerwer::CheckListen(std::string& ErrorText) { ErrorText.clear(); }

void TGgGenericSerwer::ClientDataAvailable(TObject* Sender, uint16_t Error) {
  if (Error != 0) return;
  TGgClient* client = static_cast<TGgClient*>(Sender);
  std::string chunk = client->ReceiveString();
  if (chunk.empty()) return;
  DoClientDataAvailable(client, chunk);
  ProcessClientData(client, chunk);
}

void TGgGenericSerwer::SendToClient(TGgClient* Client, const std::string& Data) {
  if (Client == nullptr || Client->State() != wsConnected) return;
  try {
    Client->SendString(Data);
  } catch (const std::exception&) {
  }
}

void TGgGenericSerwer::SocketServerClientConnect(TObject*, TWSocketClient* Client, uint16_t Error) {
  if (Error != 0) return;
  TGgClient* client = dynamic_cast<TGgClient*>(Client);
  if (client == nullptr) throw Exception("Invalid class typecast");
  client->RecvBuffer.clear();
  client->OnDataAvailable = [this](TObject* Sender, uint16_t E) { ClientDataAvailable(Sender, E); };
  client->OnBgException = [this](TObject* Sender, const Exception& E, bool& CanClose) {
    BgExceptionHandler(Sender, E, CanClose);
  };
  client->SetLineMode(false);
  // GG packets are small and often come in twos (an answer, then a notification): without this
  // the second waits for the client's delayed acknowledgement, tens of milliseconds each time.
  int noDelay = 1;
  ::setsockopt(client->HSocket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
  client->JoinIndex(&index_, ++accepted_);
  DoClientConnect(client);
}

void TGgGenericSerwer::SocketServerClientCreate(TObject*, TWSocketClient*) {}

void TGgGenericSerwer::SocketServerClientDisconnect(TObject*, TWSocketClient* Client, uint16_t) {
  if (TGgClient* client = dynamic_cast<TGgClient*>(Client)) DoClientDisconnect(client);
}

void TGgGenericSerwer::SocketServerSessionClosed(TObject*, uint16_t Error) { DoServerClosed(Error); }

}  // namespace ordwin
