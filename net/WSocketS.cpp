#include "net/WSocketS.h"

#include <algorithm>
#include <climits>

namespace ordwin {

// ---- TWSocketClient ----

TWSocketClient::TWSocketClient(TComponent* Owner) : TWSocket(Owner) {
  if (auto* server = dynamic_cast<TCustomWSocketServer*>(Owner)) server->ClientInserted(this);
}

TWSocketClient::~TWSocketClient() { CloseBeforeDestruction(); }

void TWSocketClient::Dup(int NewHandle) {
  TWSocket::Dup(NewHandle);
  ReadPeerName(cachedPeerAddr_, cachedPeerPort_);
}

std::string TWSocketClient::GetPeerAddr() { return cachedPeerAddr_; }

std::string TWSocketClient::GetPeerPort() { return cachedPeerPort_; }

void TWSocketClient::SendBanner() {
  if (!Banner.empty()) SendString(Banner + "\r\n");
}

void TWSocketClient::DoSessionClosed(uint16_t Error) {
  if (closePosted_) return;
  closePosted_ = true;
  if (Server != nullptr) Server->PostClientClosed(this);
  TWSocket::DoSessionClosed(Error);
}

// ---- TCustomWSocketServer ----

TCustomWSocketServer::TCustomWSocketServer(TComponent* Owner) : TWSocket(Owner) {
  SetClientClass<TWSocketClient>();
}

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

int TCustomWSocketServer::CountClients() const {
  return clientListAlive_ ? static_cast<int>(clientList_.size()) : 0;
}

TWSocketClient* TCustomWSocketServer::ClientAt(int Index) const {
  if (Index < 0 || Index >= CountClients()) return nullptr;
  return clientList_[static_cast<size_t>(Index)].Client;
}

void TCustomWSocketServer::ClientInserted(TWSocketClient* Client) {
  if (!clientListAlive_) return;
  Client->serial_ = nextSerial_++;
  clientList_.push_back(Listed{Client, Client, Client->serial_});
}

void TCustomWSocketServer::Notification(TComponent* AComponent, TOperation Operation) {
  TWSocket::Notification(AComponent, Operation);
  if (!clientListAlive_ || Operation != TOperation::opRemove) return;
  // Compared as components: the client's own part is already gone at this point.
  auto it = std::find_if(clientList_.begin(), clientList_.end(),
                         [AComponent](const Listed& L) { return L.Component == AComponent; });
  if (it != clientList_.end()) clientList_.erase(it);
}

bool TCustomWSocketServer::IsListed(const TWSocketClient* Client, uint64_t Serial) const {
  // From the back: the client asked about is most often the newest.
  return std::any_of(clientList_.rbegin(), clientList_.rend(), [&](const Listed& L) {
    return L.Client == Client && (Serial == 0 || L.Serial == Serial);
  });
}

void TCustomWSocketServer::PostClientClosed(TWSocketClient* Client) {
  Post(WM_CLIENT_CLOSED, reinterpret_cast<intptr_t>(Client), static_cast<intptr_t>(Client->serial_));
}

void TCustomWSocketServer::HandleNotification(TMessage& Msg) {
  if (Msg.Msg != WM_CLIENT_CLOSED) return TWSocket::HandleNotification(Msg);
  RunGuarded([&] {
    auto* client = reinterpret_cast<TWSocketClient*>(Msg.WParam);
    // A client destroyed meanwhile is not looked at.
    if (IsListed(client, static_cast<uint64_t>(Msg.LParam))) HandleClientClosed(client);
  });
}

void TCustomWSocketServer::HandleClientClosed(TWSocketClient* Client) {
  try {
    NotifyClientDisconnect(Client, 0);
  } catch (...) {
    delete Client;
    throw;
  }
  delete Client;
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

void TCustomWSocketServer::Discard(TWSocketClient* Client) {
  auto it = std::find_if(clientList_.begin(), clientList_.end(),
                         [Client](const Listed& L) { return L.Client == Client; });
  if (it == clientList_.end()) return;
  clientList_.erase(it);
  // Neither the release notification nor OnSessionClosed: the connection never was the owner's.
  Client->closePosted_ = true;
  try {
    Client->Abort();
  } catch (const std::exception&) {
  }
  Client->Release();
}

void TCustomWSocketServer::DoSessionAvailable(uint16_t Error) {
  // Until Accept takes the pending connection, the listener hears of no other: a sequence that
  // fails before it must ask again, or the listener would fall silent for good.
  bool acceptCalled = false;  // Accept re-arms the listener itself, also when it fails
  TWSocketClient* client = nullptr;
  try {
    TWSocket::DoSessionAvailable(Error);
    if (Error != 0) return;
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
    if (!acceptCalled && State() == wsListening) Loop().AcceptDone(HSocket());
    throw;
  }
  try {
    client->Dup(Accept());
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

void TCustomWSocketServer::HandleAcceptFailure(const Exception& E) {
  bool canClose = false;
  if (OnBgException) OnBgException(this, E, canClose);
  if (canClose) Abort();
}

void TCustomWSocketServer::NotifyClientCreate(TWSocketClient* Client) {
  if (OnClientCreate) OnClientCreate(this, Client);
}

void TCustomWSocketServer::NotifyClientConnect(TWSocketClient* Client, uint16_t Error) {
  if (OnClientConnect) OnClientConnect(this, Client, Error);
}

void TCustomWSocketServer::NotifyClientDisconnect(TWSocketClient* Client, uint16_t Error) {
  if (OnClientDisconnect) OnClientDisconnect(this, Client, Error);
}

}  // namespace ordwin
