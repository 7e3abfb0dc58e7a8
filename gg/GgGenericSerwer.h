// TGgGenericSerwer: the GG listener. Owns one listening TWSocketServer whose client objects are
// TGgClient connections, and turns the socket events of the server and of its clients into GG
// events. Cutting the byte stream into packets is left to the derived class (TRiDuziva).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gg/GgClient.h"
#include "gg/GgClientIndex.h"
#include "net/Component.h"
#include "net/WSocketS.h"

namespace ordwin {

using TGgClientEvent = std::function<void(TObject* Sender, TGgClient* Client)>;
using TGgClientDataEvent = std::function<void(TObject* Sender, TGgClient* Client, const std::string& Data)>;
using TGgDebugLogEvent = std::function<void(TObject* Sender, const std::string& LogMessage)>;
using TGgServerClosedEvent = std::function<void(TObject* Sender, uint16_t Error)>;
// One whole GG packet: the client that sent it, its type and its payload.
using TGgCommandEvent =
    std::function<void(TGgClient* ASender, int32_t ACommand, const std::string& AZawartosc)>;

class TGgGenericSerwer : public TComponent {
public:
  explicit TGgGenericSerwer(TComponent* Owner);
  // Closes every client and the listener; raises neither OnClientDisconnect nor OnServerClosed.
  ~TGgGenericSerwer() override;

  // True from a successful Listen until Close.
  bool Active() const { return active_; }

  TGgClientEvent OnClientConnect;
  TGgClientDataEvent OnClientDataAvailable;
  // Raised on a later turn after a client's session closed, just before it is destroyed.
  TGgClientEvent OnClientDisconnect;
  TGgDebugLogEvent OnDebugLog;
  TGgServerClosedEvent OnServerClosed;
  TNotifyEvent OnServerListening;
  TGgCommandEvent OnClientCommand;

  // The TCP port; changeable only while not active.
  int32_t Port() const { return port_; }
  virtual void SetPort(int32_t Value);
  // The class of the client objects; changeable only while not active.
  virtual TWSocketClientClass ClientClass() const;
  virtual void SetClientClass(TWSocketClientClass Value);

  // The listening server with its client objects, in accept order.
  TWSocketServer* SocketServer() const { return socketServer_.get(); }

  // Starts listening on Port at every local address. ErrorText is empty on success (and when
  // already active), otherwise the reason; a socket error is never raised.
  virtual void Listen(std::string& ErrorText);
  // Stops listening and closes every client.
  virtual void Close();

  // The connected client with this number that was accepted first, or nullptr.
  TGgClient* FindConnectedClient(int32_t Uin) const { return index_.FirstConnected(Uin); }
  // The attached clients by number, and those with packets queued for the end of the turn.
  TGgClientIndex& ClientIndex() { return index_; }

  virtual void BgExceptionHandler(TObject* Sender, const Exception& E, bool& CanClose);
  virtual void CloseSocketServer();
  virtual void DoClientConnect(TGgClient* Client);
  virtual void DoClientDataAvailable(TGgClient* Client, const std::string& Data);
  virtual void DoClientDisconnect(TGgClient* Client);
  virtual void DoDebugLog(const std::string& LogMessage);
  virtual void DoServerClosed(uint16_t Error);
  virtual void DoServerListening();
  // Shuts the client's sending direction now if nothing waits to be sent, else once it has gone.
  virtual void ShutdownClientWhenSent(TGgClient* Client);
  // Run after a successful listen; a non-empty ErrorText closes the listener again.
  virtual void CheckListen(std::string& ErrorText);
  virtual void ClientDataAvailable(TObject* Sender, uint16_t Error);
  // Sends to a connected client only; errors are dropped.
  virtual void SendToClient(TGgClient* Client, const std::string& Data);
  virtual void SocketServerClientConnect(TObject* Sender, TWSocketClient* Client, uint16_t Error);
  virtual void SocketServerClientCreate(TObject* Sender, TWSocketClient* Client);
  virtual void SocketServerClientDisconnect(TObject* Sender, TWSocketClient* Client, uint16_t Error);
  virtual void SocketServerSessionClosed(TObject* Sender, uint16_t Error);
  // Cuts one chunk of a client's stream into packets.
  virtual void ProcessClientData(TGgClient* Client, const std::string& Data) = 0;

private:
  TGgClientIndex index_;  // before the server: clients leave it as they are destroyed
  std::unique_ptr<TWSocketServer> socketServer_;
  uint64_t accepted_ = 0;
  int32_t port_ = 0;
  bool active_ = false;
};

}  // namespace ordwin
