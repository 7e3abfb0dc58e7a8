#include "gg/GgGenericSerwer.h"

#include "net/FlagScope.h"

namespace ordwin {

namespace {

// What one read takes before the platform is asked how much is left: a few times what a turn
// of a busy relay brings a connection.
constexpr int kReadRoom = 64 * 1024;
// A chunk that grew past this in one large read gives its room back.
constexpr size_t kKeptChunkRoom = 2 * kReadRoom;

}  // namespace

TGgGenericSerwer::TGgGenericSerwer(TComponent* owner)
    : TComponent(owner), socketServer_(std::make_unique<TWSocketServer>(nullptr)) {
  // Every other setting keeps its default; Listen assigns the address, port and protocol.
  TWSocketServer& s = *socketServer_;
  s.Banner.clear();
  s.SetClientClass<TGgClient>();
  s.ListenBacklog = TCustomWSocket::kServerListenBacklog;
  s.OnBgException = [this](TObject* sender, const Exception& e, bool& canClose) {
    BgExceptionHandler(sender, e, canClose);
  };
  s.OnClientConnect = [this](TObject* sender, TWSocketClient* client, uint16_t error) {
    SocketServerClientConnect(sender, client, error);
  };
  s.OnClientCreate = [this](TObject* sender, TWSocketClient* client) { SocketServerClientCreate(sender, client); };
  s.OnClientDisconnect = [this](TObject* sender, TWSocketClient* client, uint16_t error) {
    SocketServerClientDisconnect(sender, client, error);
  };
  s.OnSessionClosed = [this](TObject* sender, uint16_t error) { SocketServerSessionClosed(sender, error); };
}

TGgGenericSerwer::~TGgGenericSerwer() {
  MarkDestroying();
  endpoint_.Loop().KillTimer(sweepTimer_);
  try {
    DoDebugLog("TGgGenericSerwer.Destroy");
    CloseSocketServer();
  } catch (const std::exception&) {
  }
  socketServer_.reset();
}

void TGgGenericSerwer::SetPort(int32_t value) {
  if (active_) throw Exception("Port property can only be modified when proxy is not active");
  port_ = value;
}

TWSocketClientClass TGgGenericSerwer::ClientClass() const { return socketServer_->ClientClass; }

void TGgGenericSerwer::SetClientClass(TWSocketClientClass value) {
  if (active_) throw Exception("ClientClass property can only be modified when proxy is not active");
  socketServer_->ClientClass = std::move(value);
}

void TGgGenericSerwer::Listen(std::string& errorText) {
  errorText.clear();
  if (active_) return;
  try {
    socketServer_->SetPort(std::to_string(port_));
    socketServer_->SetAddr("0.0.0.0");
    socketServer_->SetProto("tcp");
    socketServer_->Listen();
    CheckListen(errorText);
    if (!errorText.empty()) {
      DoDebugLog("Listen failed (" + errorText + "), will close");
      Close();
    } else {
      active_ = true;
      DoServerListening();
    }
  } catch (const ESocketException& e) {
    errorText = e.Message();
  }
}

void TGgGenericSerwer::ListenTls(int32_t tlsPort, std::shared_ptr<const TTlsContext> context, std::string& errorText) {
  errorText.clear();
  try {
    socketServer_->ListenTls(std::to_string(tlsPort), std::move(context));
  } catch (const ESocketException& e) {
    errorText = e.Message();
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

void TGgGenericSerwer::BgExceptionHandler(TObject*, const Exception& e, bool& canClose) {
  canClose = false;
  try {
    DoDebugLog("Background exception in server: " + e.Message());
  } catch (const std::exception&) {
  }
}

void TGgGenericSerwer::DoClientConnect(TGgClient* client) {
  if (OnClientConnect) OnClientConnect(this, client);
}

void TGgGenericSerwer::DoClientDataAvailable(TGgClient* client, const std::string& data) {
  if (OnClientDataAvailable && client->ReportRawData) OnClientDataAvailable(this, client, data);
}

void TGgGenericSerwer::DoClientDisconnect(TGgClient* client) {
  if (OnClientDisconnect) OnClientDisconnect(this, client);
}

void TGgGenericSerwer::DoDebugLog(const std::string& logMessage) {
  if (OnDebugLog) OnDebugLog(this, logMessage);
}

void TGgGenericSerwer::DoServerClosed(uint16_t error) {
  if (OnServerClosed) OnServerClosed(this, error);
}

void TGgGenericSerwer::DoServerListening() {
  if (OnServerListening) OnServerListening(this);
}

void TGgGenericSerwer::ShutdownClientWhenSent(TGgClient* client) {
  if (client->SendQueueEmpty())
    client->Shutdown(1);
  else
    client->ShutdownWhenSent = true;
}

void TGgGenericSerwer::CheckListen(std::string& errorText) { errorText.clear(); }

void TGgGenericSerwer::ClientDataAvailable(TObject* sender, uint16_t error) {
  if (error != 0) return;
  TGgClient* client = static_cast<TGgClient*>(sender);
  // The kept chunk is lent to this read, and given back however the handlers end: a read that
  // a handler makes meanwhile (by turning the loop) finds it lent and makes its own.
  struct TLent {
    std::string& kept;
    std::string chunk;
    ~TLent() {
      if (chunk.capacity() <= kKeptChunkRoom) kept.swap(chunk);
    }
  } lent{chunk_, {}};
  lent.chunk.swap(chunk_);
  ReadChunk(*client, lent.chunk);
  if (lent.chunk.empty()) return;
  client->LastHeard = readAt_ = TGgClock::now();
  TFlagScope reading(reading_);
  DoClientDataAvailable(client, lent.chunk);
  ProcessClientData(client, lent.chunk);
}

void TGgGenericSerwer::ReadChunk(TGgClient& client, std::string& chunk) {
  chunk.clear();
  if (client.LineMode()) {
    chunk = client.ReceiveString();
    return;
  }
  if (!readRoom_) readRoom_.reset(new char[kReadRoom]);
  int got = client.Receive(readRoom_.get(), kReadRoom);
  if (got <= 0) return;
  chunk.assign(readRoom_.get(), static_cast<size_t>(got));
  if (got == kReadRoom) chunk += client.ReceiveString();
}

void TGgGenericSerwer::SendToClient(TGgClient* client, const std::string& data) {
  if (client == nullptr || client->State() != wsConnected) return;
  try {
    client->SendString(data);
  } catch (const std::exception&) {
  }
}

void TGgGenericSerwer::SocketServerClientConnect(TObject*, TWSocketClient* socketClient, uint16_t error) {
  if (error != 0) return;
  TGgClient* client = dynamic_cast<TGgClient*>(socketClient);
  if (client == nullptr) throw Exception("Invalid class typecast");
  if (TConnectionCap::TVerdict why = Cap.Admit(client); why != TConnectionCap::cvAdmitted) {
    client->Close();
    if (OnClientRefused) OnClientRefused(this, client, why);
    return;
  }
  client->RecvBuffer.clear();
  client->OnDataAvailable = [this](TObject* sender, uint16_t e) { ClientDataAvailable(sender, e); };
  client->OnBgException = [this](TObject* sender, const Exception& e, bool& canClose) {
    BgExceptionHandler(sender, e, canClose);
  };
  client->SetLineMode(false);
  // GG packets are small and often come in twos (an answer, then a notification): without this
  // the second waits for the client's delayed acknowledgement, tens of milliseconds each time.
  client->SetNoDelay(true);
  KeepAlive(client, false);
  client->AcceptedAt = client->LastHeard = TGgClock::now();
  client->JoinIndex(&index_, ++accepted_);
  ArmSweep();
  DoClientConnect(client);
}

void TGgGenericSerwer::SocketServerClientCreate(TObject*, TWSocketClient*) {}

void TGgGenericSerwer::SocketServerClientDisconnect(TObject*, TWSocketClient* socketClient, uint16_t) {
  if (!Cap.Release(socketClient)) return;  // refused: it never was one of the listener's clients
  if (TGgClient* client = dynamic_cast<TGgClient*>(socketClient)) DoClientDisconnect(client);
}

void TGgGenericSerwer::SocketServerSessionClosed(TObject*, uint16_t error) { DoServerClosed(error); }

}  // namespace ordwin
