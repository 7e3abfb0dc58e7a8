// TGgGenericSerwer: the GG listener. Owns one listening TWSocketServer whose client objects are
// TGgClient connections, turns the socket events of the server and of its clients into GG
// events, and closes the connections that vanish or fall silent past its Limits. Cutting the
// byte stream into packets is left to the derived class (TRiDuziva).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gg/GgClient.h"
#include "gg/GgClientIndex.h"
#include "gg/GgLimits.h"
#include "net/Component.h"
#include "net/ConnectionCap.h"
#include "net/NotificationEndpoint.h"
#include "net/WSocketS.h"

namespace ordwin {

using TGgClientEvent = std::function<void(TObject* sender, TGgClient* client)>;
using TGgClientDataEvent = std::function<void(TObject* sender, TGgClient* client, const std::string& data)>;
using TGgDebugLogEvent = std::function<void(TObject* sender, const std::string& logMessage)>;
using TGgServerClosedEvent = std::function<void(TObject* sender, uint16_t error)>;
// The listener's own timer: time to look for connections past a limit.
constexpr uint32_t WM_GG_SWEEP = 1074;

// Why the listener closes a client by itself: no login in time, or silent too long after it.
enum TGgExpiry : uint8_t { geNoLogin, geSilent };
using TGgClientExpiredEvent = std::function<void(TObject* sender, TGgClient* client, TGgExpiry why)>;

// A connection turned away at once by the listener's Cap: why, and the client (closed already).
using TGgClientRefusedEvent = std::function<void(TObject* sender, TGgClient* client, TConnectionCap::TVerdict why)>;
// One whole GG packet: the client that sent it, its type and its payload, which lies in the
// received bytes and is valid only during the call.
using TGgCommandEvent = std::function<void(TGgClient* aSender, int32_t aCommand, std::string_view aZawartosc)>;

class TGgGenericSerwer : public TComponent, private INotificationTarget {
public:
  explicit TGgGenericSerwer(TComponent* owner);
  // Closes every client and the listener; raises neither OnClientDisconnect nor OnServerClosed.
  ~TGgGenericSerwer() override;

  // True from a successful Listen until Close.
  bool Active() const { return active_; }

  TGgClientEvent OnClientConnect;
  TGgClientDataEvent OnClientDataAvailable;
  // Raised on a later turn after a client's session closed, just before it is destroyed.
  TGgClientEvent OnClientDisconnect;
  TGgServerClosedEvent OnServerClosed;
  TGgCommandEvent OnClientCommand;
  // Raised just before the listener closes a client past a limit of Limits.
  TGgClientExpiredEvent OnClientExpired;

  // The keep-alive timings and user timeout set on each connection as it is attached, and the
  // limits on silence: a client that has not logged in LoginLimit after it was attached, or
  // has sent nothing for IdleLimit after, is closed, looked for every SweepPeriod while
  // clients are attached. Changes apply to connections attached later; the limits at once.
  TGgLimits Limits;
  // What the listener lets in: a connection past it is closed as soon as it is attached and
  // told of by OnClientRefused instead of any other client event.
  TConnectionCap Cap;
  TGgClientRefusedEvent OnClientRefused;

  // The TCP port; changeable only while not active.
  int32_t Port() const { return port_; }
  virtual void SetPort(int32_t value);

  // The listening server with its client objects, in accept order.
  TWSocketServer* SocketServer() const { return socketServer_.get(); }

  // Starts listening on Port at every local address. errorText is empty on success (and when
  // already active), otherwise the reason; a socket error is never raised.
  virtual void Listen(std::string& errorText);
  // Stops listening and closes every client.
  virtual void Close();
  // Once active, listens at every local address on tlsPort too, for clients that speak TLS with
  // context: they are the listener's clients like those of Port, and what is sent to them
  // (the greeting first) goes out once their handshake is done (see TCustomWSocketServer).
  // Close stops it with the rest. errorText as Listen gives it; the reason's code is the
  // LastError of SocketServer()->TlsListener().
  void ListenTls(int32_t tlsPort, std::shared_ptr<const TTlsContext> context, std::string& errorText);
  bool TlsActive() const { return socketServer_->TlsListening(); }

  // The client with this number that was accepted first among those that can be reached (see
  // TGgClient::Reachable), or nullptr. Judged at the time of the read being handled, taken at
  // its start, or at the clock's outside reads: a relay spares a clock read per message.
  TGgClient* FindReachableClient(int32_t uin) const {
    return index_.FirstReachable(uin, reading_ ? readAt_ : TGgClock::now());
  }
  // Checks at once whether the other connections with client's number are still there: their
  // keep-alive tightened to Limits.CheckInterval for Limits.CheckTime, so that one that has
  // vanished ends (and closes as any lost connection does) within a few seconds.
  void CheckOtherConnections(const TGgClient* client);
  // The attached clients, by number and in accept order.
  TGgClientIndex& ClientIndex() { return index_; }

  // ---- Published; nothing in the program uses it ----
  // The listener's own lines: its closing, a listen that its check refused, a background
  // exception. The program leaves it unassigned, so they go nowhere.
  TGgDebugLogEvent OnDebugLog;
  TNotifyEvent OnServerListening;
  // The class of the client objects (TGgClient); changeable only while not active.
  virtual TWSocketClientClass ClientClass() const;
  virtual void SetClientClass(TWSocketClientClass value);
  // Sends to a connected client only; errors are dropped.
  virtual void SendToClient(TGgClient* client, const std::string& data);
  // Shuts the client's sending direction now if nothing waits to be sent, else once it has gone.
  virtual void ShutdownClientWhenSent(TGgClient* client);

protected:
  // Cuts one chunk of a client's stream into packets.
  virtual void ProcessClientData(TGgClient* client, const std::string& data) = 0;
  // Closes every client, then (unless the listener is being destroyed) the listening server.
  virtual void CloseSocketServer();
  // Run after a successful listen; a non-empty errorText closes the listener again.
  virtual void CheckListen(std::string& errorText);

  virtual void DoClientConnect(TGgClient* client);
  virtual void DoClientDataAvailable(TGgClient* client, const std::string& data);
  virtual void DoClientDisconnect(TGgClient* client);
  virtual void DoDebugLog(const std::string& logMessage);
  virtual void DoServerClosed(uint16_t error);
  virtual void DoServerListening();

  // The handlers of the listening server's events and of each client's.
  virtual void SocketServerClientConnect(TObject* sender, TWSocketClient* client, uint16_t error);
  virtual void SocketServerClientCreate(TObject* sender, TWSocketClient* client);
  virtual void SocketServerClientDisconnect(TObject* sender, TWSocketClient* client, uint16_t error);
  virtual void SocketServerSessionClosed(TObject* sender, uint16_t error);
  // A client's OnDataAvailable: reads what is there and hands it on as a chunk.
  virtual void ClientDataAvailable(TObject* sender, uint16_t error);
  // The OnBgException of the server and of each client: the exception goes to OnDebugLog and
  // the socket stays open. One that leaves a packet's handler never comes here: the client's
  // read round drops it (TCustomWSocket::ReceiveLoop).
  virtual void BgExceptionHandler(TObject* sender, const Exception& e, bool& canClose);

private:
  // The sweep: closes clients past a limit, ends the checks that are over, and looks again
  // SweepPeriod later while any client is attached (GgLiveness.cpp).
  void HandleMessage(TMessage& msg) override;
  void SweepClients();
  void ArmSweep();
  // The keep-alive timings of a connection: Limits' own, or those of a check.
  void KeepAlive(TGgClient* client, bool checking);
  // Reads what the client holds into chunk: the bytes ReceiveString returns, without asking the
  // platform how many there are (unless a read fills the listener's room) and without a fresh
  // zero-filled string for every read.
  void ReadChunk(TGgClient& client, std::string& chunk);

  TGgClientIndex index_;  // before the server: clients leave it as they are destroyed
  std::unique_ptr<TWSocketServer> socketServer_;
  uint64_t accepted_ = 0;
  int32_t port_ = 0;
  bool active_ = false;
  uint64_t sweepTimer_ = 0;
  std::unique_ptr<char[]> readRoom_;  // where reads land, made at the first
  std::string chunk_;                 // a chunk whose room is kept between reads
  TGgTime readAt_{};                  // when the read being handled began
  bool reading_ = false;              // while a read is handled; cleared by one made meanwhile too
  TNotificationEndpoint endpoint_{this};
};

}  // namespace ordwin
