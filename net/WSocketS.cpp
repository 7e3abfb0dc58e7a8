#include "net/WSocketS.h"

#include <algorithm>
#include <climits>

#include <arpa/inet.h>

#include "net/WSocketResolve.h"

namespace ordwin {

// ---- TWSocketClient ----

TWSocketClient::TWSocketClient(TComponent* owner) : TWSocket(owner) {
  if (auto* server = dynamic_cast<TCustomWSocketServer*>(owner)) server->ClientInserted(this);
}

TWSocketClient::~TWSocketClient() { CloseBeforeDestruction(); }

void TWSocketClient::Dup(int newHandle) {
  TWSocket::Dup(newHandle);
  peerKnown_ = ReadPeerName(cachedPeer_);
}

std::string TWSocketClient::CachedPeerAddr() const {
  return peerKnown_ ? WSocketDottedAddress(cachedPeer_.sin_addr) : "error";
}

std::string TWSocketClient::CachedPeerPort() const {
  return peerKnown_ ? std::to_string(ntohs(cachedPeer_.sin_port)) : "error";
}

std::string TWSocketClient::GetPeerAddr() { return CachedPeerAddr(); }

std::string TWSocketClient::GetPeerPort() { return CachedPeerPort(); }

void TWSocketClient::SendBanner() {
  if (!Banner.empty()) SendString(Banner + "\r\n");
}

void TWSocketClient::DoSessionClosed(uint16_t error) {
  if (closePosted_) return;
  closePosted_ = true;
  if (Server != nullptr) Server->PostClientClosed(this);
  TWSocket::DoSessionClosed(error);
}

// ---- TCustomWSocketServer ----

TCustomWSocketServer::TCustomWSocketServer(TComponent* owner) : TWSocket(owner) { SetClientClass<TWSocketClient>(); }

TCustomWSocketServer::~TCustomWSocketServer() {
  MarkDestroying();
  // Last to first; each client leaves the list as it leaves the server.
  while (!clientList_.empty()) {
    TWSocketClient* client = clientList_.back().Client;
    delete client;
    if (!clientList_.empty() && clientList_.back().Client == client) clientList_.pop_back();
  }
  // The listener closes while the server still stands: an OnChangeState handler may ask it
  // for its clients.
  CloseBeforeDestruction();
  clientListAlive_ = false;
}

TWSocketServer::~TWSocketServer() = default;

void TCustomWSocketServer::ClientInserted(TWSocketClient* client) {
  if (!clientListAlive_) return;
  client->serial_ = nextSerial_++;
  clientList_.push_back(TListed{client, client, client->serial_});
}

void TCustomWSocketServer::Notification(TComponent* aComponent, TOperation operation) {
  TWSocket::Notification(aComponent, operation);
  if (!clientListAlive_ || operation != TOperation::opRemove) return;
  // Compared as components: the client's own part is already gone at this point.
  auto it = std::find_if(clientList_.begin(), clientList_.end(),
                         [aComponent](const TListed& l) { return l.Component == aComponent; });
  if (it != clientList_.end()) clientList_.erase(it);
}

bool TCustomWSocketServer::IsListed(const TWSocketClient* client, uint64_t serial) const {
  // From the back: the client asked about is most often the newest.
  return std::any_of(clientList_.rbegin(), clientList_.rend(),
                     [&](const TListed& l) { return l.Client == client && (serial == 0 || l.Serial == serial); });
}

void TCustomWSocketServer::PostClientClosed(TWSocketClient* client) {
  Post(WM_CLIENT_CLOSED, reinterpret_cast<intptr_t>(client), static_cast<intptr_t>(client->serial_));
}

void TCustomWSocketServer::HandleNotification(TMessage& msg) {
  if (msg.Msg != WM_CLIENT_CLOSED) return TWSocket::HandleNotification(msg);
  RunGuarded([&] {
    auto* client = reinterpret_cast<TWSocketClient*>(msg.WParam);
    // A client destroyed meanwhile is not looked at.
    if (IsListed(client, static_cast<uint64_t>(msg.LParam))) HandleClientClosed(client);
  });
}

void TCustomWSocketServer::HandleClientClosed(TWSocketClient* client) {
  try {
    NotifyClientDisconnect(client, 0);
  } catch (...) {
    client->DestroyWhenIdle();
    throw;
  }
  client->DestroyWhenIdle();
}

TWSocketClient* TCustomWSocketServer::CreateClient() {
  TWSocketClient* client = ClientClass ? ClientClass(this) : new TWSocketClient(this);
  if (client == nullptr) throw Exception("ClientClass made no client object");
  if (client->Owner() != this) {
    delete client;
    throw Exception("ClientClass must make its client objects with the server as owner");
  }
  return client;
}

void TCustomWSocketServer::Discard(TWSocketClient* client) {
  auto it =
      std::find_if(clientList_.begin(), clientList_.end(), [client](const TListed& l) { return l.Client == client; });
  if (it == clientList_.end()) return;
  clientList_.erase(it);
  // Neither the release notification nor OnSessionClosed: the connection never was the owner's.
  client->closePosted_ = true;
  try {
    client->Abort();
  } catch (const std::exception&) {
  }
  client->Release();
}

void TCustomWSocketServer::DoSessionAvailable(uint16_t error) {
  try {
    TWSocket::DoSessionAvailable(error);
  } catch (...) {
    // Until Accept takes the pending connection, the listener hears of no other.
    if (State() == wsListening) Loop().AcceptDone(HSocket());
    throw;
  }
  if (error != 0) return;
  AcceptClient(*this, nullptr);
}

void TCustomWSocketServer::AcceptClient(TCustomWSocket& listener, std::shared_ptr<const TTlsContext> tls) {
  // Until Accept takes the pending connection, the listener hears of no other: a sequence that
  // fails before it must ask again, or the listener would fall silent for good.
  bool acceptCalled = false;  // Accept re-arms the listener itself, also when it fails
  TWSocketClient* client = nullptr;
  try {
    if (clientNumber_ == INT_MAX) throw Exception("Integer overflow");
    ++clientNumber_;

    client = CreateClient();
    NotifyClientCreate(client);
    client->SetName(Name() + "Client" + std::to_string(clientNumber_));
    client->Banner = Banner;
    client->Server = this;
    acceptCalled = true;
  } catch (...) {
    if (client != nullptr) Discard(client);
    if (!acceptCalled && listener.State() == wsListening) Loop().AcceptDone(listener.HSocket());
    throw;
  }
  try {
    client->Dup(listener.Accept());
    if (tls && client->State() == wsConnected) client->AcceptTls(tls, tlsHandshakeLimitMs_);
  } catch (const Exception& e) {
    // The platform failed this one connection (it reset before the accept, or the process is
    // out of descriptors): the client goes, the listener stays.
    Discard(client);
    return HandleAcceptFailure(e);
  }
  // Failures reported through an OnError handler return instead of raising.
  if (client->State() != wsConnected) return Discard(client);

  NotifyClientConnect(client, 0);
  // The handler may have closed the client.
  if (!IsListed(client) || client->State() != wsConnected) return;
  if (MaxClients > 0 && CountClients() > MaxClients) {
    client->Banner = BannerToBusy;
    client->SendBanner();
    client->Close();
  } else {
    client->SendBanner();
  }
}

void TCustomWSocketServer::ListenTls(const std::string& tlsPort, std::shared_ptr<const TTlsContext> context,
                                     int handshakeLimitMs) {
  if (State() != wsListening) throw ESocketException("Not listening");
  CloseTls();
  auto listener = std::make_unique<TWSocket>(nullptr);
  listener->SetAddr(Addr());
  listener->SetPort(tlsPort);
  listener->SetProto("tcp");
  listener->ListenBacklog = ListenBacklog;
  listener->OnSessionAvailable = [this](TObject*, uint16_t error) {
    if (error == 0) AcceptClient(*tlsListener_, tlsContext_);
  };
  // What goes wrong in its accept sequence is the server's to hear of.
  listener->OnBgException = [this](TObject*, const Exception& e, bool& canClose) {
    canClose = false;
    HandleAcceptFailure(e);
  };
  tlsContext_ = std::move(context);
  tlsHandshakeLimitMs_ = handshakeLimitMs;
  tlsListener_ = std::move(listener);
  try {
    tlsListener_->Listen();
  } catch (...) {
    tlsContext_.reset();
    throw;
  }
}

void TCustomWSocketServer::CloseTls() {
  if (!tlsListener_) return;
  // It may be the one whose accept report is being handled: it goes once that is over.
  tlsListener_->Close();
  tlsListener_.release()->DestroyWhenIdle();
  tlsContext_.reset();
}

void TCustomWSocketServer::DoClose(bool shut, uint16_t error) {
  CloseTls();
  TWSocket::DoClose(shut, error);
}

void TCustomWSocketServer::HandleAcceptFailure(const Exception& e) {
  bool canClose = false;
  if (OnBgException) OnBgException(this, e, canClose);
  if (canClose) Abort();
}

void TCustomWSocketServer::NotifyClientCreate(TWSocketClient* client) {
  if (OnClientCreate) OnClientCreate(this, client);
}

void TCustomWSocketServer::NotifyClientConnect(TWSocketClient* client, uint16_t error) {
  if (OnClientConnect) OnClientConnect(this, client, error);
}

void TCustomWSocketServer::NotifyClientDisconnect(TWSocketClient* client, uint16_t error) {
  if (OnClientDisconnect) OnClientDisconnect(this, client, error);
}

}  // namespace ordwin
