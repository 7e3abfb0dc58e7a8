// The listening server and its client objects. TCustomWSocketServer / TWSocketServer listen and
// turn every accepted connection into a client object of ClientClass; the server owns its client
// objects and releases each on a later turn of the loop after its connection closed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/WSocket.h"

namespace ordwin {

class TCustomWSocketServer;

// One accepted connection; the base class of every server's client objects. Owned and destroyed
// only by its server. A derived class (a protocol connection) takes (TComponent* Owner) in its
// constructor and hands it on.
class TWSocketClient : public TWSocket {
public:
  explicit TWSocketClient(TComponent* owner);
  ~TWSocketClient() override;

  // The line that SendBanner sends; the server copies its own Banner here on accept.
  std::string Banner;
  // The server that accepted the connection; set on accept.
  TCustomWSocketServer* Server = nullptr;
  // The peer as captured when the connection was attached; PeerAddr and PeerPort return these,
  // so they stay readable after the connection closed.
  std::string CachedPeerAddr() const;
  std::string CachedPeerPort() const;
  // Set once the client-closed notification has been posted to the server; never cleared.
  bool ClosePosted() const { return closePosted_; }

  // Adopts the accepted handle, then captures the peer's address and port.
  void Dup(int newHandle) override;
  std::string GetPeerAddr() override;
  std::string GetPeerPort() override;
  // Sends Banner and CR LF, unless Banner is empty.
  virtual void SendBanner();

protected:
  // The first close of the session posts the client-closed notification to the server, then
  // raises OnSessionClosed; later ones do nothing.
  void DoSessionClosed(uint16_t error) override;

private:
  friend class TCustomWSocketServer;

  // Kept as the platform gave it, made text only when asked for: a client costs less that way.
  sockaddr_in cachedPeer_{};
  bool peerKnown_ = false;  // "error" for both when the address could not be read
  bool closePosted_ = false;
  uint64_t serial_ = 0;  // tells this client from a later one at the same address
};

// Posted to the server by a client whose session closed; the argument is the client.
constexpr uint32_t WM_CLIENT_CLOSED = 1054;

using TWSocketClientCreateEvent = std::function<void(TObject* sender, TWSocketClient* client)>;
using TWSocketClientConnectEvent = std::function<void(TObject* sender, TWSocketClient* client, uint16_t error)>;
// Makes one client object owned by owner (the server): the class of the clients.
using TWSocketClientClass = std::function<TWSocketClient*(TComponent* owner)>;

class TCustomWSocketServer : public TWSocket {
public:
  explicit TCustomWSocketServer(TComponent* owner);
  // Destroys the client objects from the last to the first without OnClientDisconnect, then
  // closes the listener; client-closed notifications still queued are dropped.
  ~TCustomWSocketServer() override;

  // Sent with CR LF to each new connection; nothing when empty.
  std::string Banner = "Welcome to TcpSrv";
  // Sent with CR LF to a connection refused because of MaxClients, which is then closed.
  std::string BannerToBusy = "Sorry, too many clients";
  // Most client objects at once, closed ones not yet released included; 0 or less: no limit.
  int MaxClients = 0;
  // Read at every accept; makes a TWSocketClient unless set.
  TWSocketClientClass ClientClass;
  template <class TClient>
  void SetClientClass() {
    ClientClass = [](TComponent* owner) -> TWSocketClient* { return new TClient(owner); };
  }
  // Accepts started so far; names the clients and never decreases.
  int ClientNumber() const { return clientNumber_; }

  // Listens on tlsPort too, at Addr, until the server closes; each connection accepted there is
  // a client like the others (same list, same events, OnClientConnect at once) but speaks TLS
  // with context: its banner and everything sent to it go out once its handshake is done, and
  // a handshake not done within handshakeLimitMs ends it (see TCustomTlsWSocket::AcceptTls).
  // Raises as Listen does; "Not listening" unless the server listens.
  void ListenTls(const std::string& tlsPort, std::shared_ptr<const TTlsContext> context,
                 int handshakeLimitMs = TCustomTlsWSocket::kHandshakeLimitMs);
  // The TLS port's listening socket from ListenTls until the server closes (closed, its
  // LastError telling why, when that failed), else nullptr.
  TWSocket* TlsListener() const { return tlsListener_.get(); }
  bool TlsListening() const { return tlsListener_ && tlsListener_->State() == wsListening; }

  // A client object exists, its connection not attached yet: settings that Dup applies (linger)
  // may be set here.
  TWSocketClientCreateEvent OnClientCreate;
  // The connection is attached; the banner follows unless the handler closed the client.
  TWSocketClientConnectEvent OnClientConnect;
  // Raised on a later turn after the client's session closed, just before it is destroyed.
  // Error is always 0. Not raised by the destructor.
  TWSocketClientConnectEvent OnClientDisconnect;

  // The client objects in creation order. A closed client stays listed (State wsClosed) until
  // its release on a later turn. ClientAt is nullptr outside 0 .. CountClients - 1.
  int CountClients() const { return clientListAlive_ ? static_cast<int>(clientList_.size()) : 0; }
  TWSocketClient* ClientAt(int index) const {
    return index >= 0 && index < CountClients() ? clientList_[static_cast<size_t>(index)].Client : nullptr;
  }

protected:
  // Removes a client from ClientList when it leaves the server.
  void Notification(TComponent* aComponent, TOperation operation) override;
  // Number 1054 releases a closed client; an exception goes to HandleBgException.
  void HandleNotification(TMessage& msg) override;
  // The accept sequence, run for each accept report of the listener.
  void DoSessionAvailable(uint16_t error) override;
  // The TLS port closes with the server.
  void DoClose(bool shut, uint16_t error) override;

  virtual void NotifyClientCreate(TWSocketClient* client);
  virtual void NotifyClientConnect(TWSocketClient* client, uint16_t error);
  virtual void NotifyClientDisconnect(TWSocketClient* client, uint16_t error);
  // OnClientDisconnect, then the client is destroyed whether or not the handler raised (when
  // one of its own handlers is running, as soon as that returns: see DestroyWhenIdle).
  virtual void HandleClientClosed(TWSocketClient* client);
  // The platform failed one accept or attach: that client is gone already. OnBgException hears
  // of it with CanClose false; the listener is aborted only when the handler sets it.
  virtual void HandleAcceptFailure(const Exception& e);

private:
  friend class TWSocketClient;

  struct TListed {
    TWSocketClient* Client;
    TComponent* Component;  // the same object seen as a component, for its removal
    uint64_t Serial;
  };

  // Called by TWSocketClient's constructor when the server is its owner: the ownership
  // notification cannot tell a client's class, as it runs before the client's part is built.
  void ClientInserted(TWSocketClient* client);
  void PostClientClosed(TWSocketClient* client);
  // Whether client is listed; serial 0 matches any serial.
  bool IsListed(const TWSocketClient* client, uint64_t serial = 0) const;
  TWSocketClient* CreateClient();
  void CloseTls();
  // Takes the connection pending on listener as a new client; with a context, one that speaks TLS.
  void AcceptClient(TCustomWSocket& listener, std::shared_ptr<const TTlsContext> tls);
  // A client whose accept or attach failed: unlisted at once, silenced, destroyed later.
  void Discard(TWSocketClient* client);

  std::vector<TListed> clientList_;
  std::unique_ptr<TWSocket> tlsListener_;
  std::shared_ptr<const TTlsContext> tlsContext_;
  int tlsHandshakeLimitMs_ = 0;
  bool clientListAlive_ = true;
  int clientNumber_ = 0;
  uint64_t nextSerial_ = 1;
};

// The listening server as components publish it.
class TWSocketServer : public TCustomWSocketServer {
public:
  explicit TWSocketServer(TComponent* owner) : TCustomWSocketServer(owner) {}
  ~TWSocketServer() override;
};

}  // namespace ordwin
