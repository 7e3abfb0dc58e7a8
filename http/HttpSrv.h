// THttpServer: listens on one TCP port and makes one THttpConnection per client. Owns its
// listening TWSocketServer, which owns the connections; hands each connection DocDir and
// DefaultDoc and relays the connections' document events to its own, with the connection as
// Client. One client never stops it: a failed accept drops that client and listening goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "http/HttpConnection.h"
#include "net/Component.h"
#include "net/ConnectionCap.h"
#include "net/NotificationEndpoint.h"
#include "net/WSocketS.h"

namespace ordwin {

using THttpConnectEvent = std::function<void(TObject* sender, THttpConnection* client, uint16_t error)>;
using THttpGetEvent = std::function<void(TObject* sender, THttpConnection* client, THttpGetFlag& flags)>;
using THttpPostedDataEvent = std::function<void(TObject* sender, THttpConnection* client, uint16_t error)>;
// A connection turned away at once by the server's Cap: why, and the connection (closed already).
using THttpRefusedEvent = std::function<void(TObject* sender, THttpConnection* client, TConnectionCap::TVerdict why)>;
// Makes one connection owned by owner (the listening server): the class of the connections.
using THttpConnectionClass = std::function<THttpConnection*(TComponent* owner)>;

class THttpServer : public TComponent, private INotificationTarget {
public:
  // A connection that waits on its client this long (THttpConnection::WaitedPast: for a whole
  // request, or for its close) is closed: a GG client sends its request at once, and a silent
  // connection would otherwise hold its memory and descriptor for ever.
  static constexpr int kRequestTimeoutMs = 30000;

  explicit THttpServer(TComponent* owner);
  // Frees the listening server and with it every connection, without events.
  ~THttpServer() override;

  // The listening server; nullptr after something destroyed it, until the next Start.
  TWSocketServer* SocketServer() const { return socketServer_; }

  // Port and address to listen on. Assigning another text while listening moves the server
  // there at once (and can raise as Start does); otherwise it is used by the next Start.
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& value);
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& value);

  THttpConnectionClass ClientClass;
  template <class TClient>
  void SetClientClass() {
    ClientClass = [](TComponent* owner) -> THttpConnection* { return new TClient(owner); };
  }
  // The limit above, for this server; 0 or less: none.
  int RequestTimeoutMs = kRequestTimeoutMs;
  // What the server lets in: a connection past it is closed as soon as it is attached and told
  // of by OnClientRefused instead of any other event of the server's.
  TConnectionCap Cap;
  THttpRefusedEvent OnClientRefused;
  std::string DocDir = "c:\\wwwroot";
  std::string DefaultDoc = "index.html";
  TSocketLingerOnOff LingerOnOff = wsLingerNoSet;
  int LingerTimeout = 0;

  // The connections' document events, with the connection as client.
  THttpGetEvent OnGetDocument;
  THttpGetEvent OnHeadDocument;
  THttpGetEvent OnPostDocument;
  THttpPostedDataEvent OnPostedData;

  // Starts listening on Addr:Port; does nothing while listening. A listening failure (the port
  // is taken, for one) is raised as ESocketException and leaves the server idle.
  virtual void Start();

  // ---- Published; nothing in the program uses it ----
  TNotifyEvent OnServerStarted;
  TNotifyEvent OnServerStopped;
  THttpConnectEvent OnClientConnect;
  // Raised on a later turn after a connection closed, just before it is freed.
  THttpConnectEvent OnClientDisconnect;
  // Stops listening and aborts every connection, the last accepted first; each one's
  // OnClientDisconnect follows on a later turn.
  virtual void Stop();

protected:
  // Forgets the listening server when something else destroys it.
  void Notification(TComponent* aComponent, TOperation operation) override;
  virtual void NotifyServerStarted();
  virtual void NotifyServerStopped();
  virtual void NotifyPostDocument(THttpConnection* client, THttpGetFlag& flags);
  virtual void NotifyPostedData(THttpConnection* client, uint16_t error);

private:
  // The timer that closes connections past RequestTimeoutMs, a tenth of it apart while there
  // are connections.
  void HandleMessage(TMessage& message) override;
  void ArmSweep();
  void SocketServerClientCreate(TWSocketClient* client);
  void SocketServerClientConnect(TWSocketClient* client, uint16_t error);
  void SocketServerClientDisconnect(TWSocketClient* client, uint16_t error);
  // Assigns Port or Addr, moving a listening server.
  void AssignTarget(std::string& field, const std::string& value);

  TNotificationEndpoint endpoint_{this};
  uint64_t sweepTimer_ = 0;
  TWSocketServer* socketServer_ = nullptr;  // owned as a component
  std::string port_ = "80";
  std::string addr_ = "0.0.0.0";
};

}  // namespace ordwin
