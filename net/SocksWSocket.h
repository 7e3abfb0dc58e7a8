// TCustomSocksWSocket: the SOCKS client layer of the socket object, below line mode. With
// SocksServer set, Connect reaches Addr:Port through a SOCKS 4, 4A or 5 proxy (user name and
// password for 5) and the connection then behaves as a direct one: OnSessionConnected comes
// when the proxy has granted it, and bytes that arrived behind the proxy's reply are read first.
// With SocksServer empty every operation is the base's. Every close resets the proxy settings,
// so a proxy is configured again before each Connect.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/CustomWSocket.h"

namespace ordwin {

// The codes of a failed negotiation, as OnSocksError, OnSessionConnected and OnSessionClosed
// carry them: 20001 to 20017 (the texts are OnSocksError's), or a platform code.
constexpr int kSocksErrorFirst = 20001;
constexpr int kSocksErrorLast = 20017;

enum TSocksAuthentication : uint8_t { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { sasStart, sasSuccess, sasFailure, sasNotRequired };
// Where a connection through a proxy is: passing data, or waiting for the proxy's answer to
// the methods offered, to the user name and password, or to the connect request.
enum TSocksPhase : uint8_t { spData, spMethods, spAuthenticate, spConnect };

using TSocksAuthStateEvent = TEvent<void(TObject* sender, TSocksAuthState authState)>;
using TSocksErrorEvent = TEvent<void(TObject* sender, int error, const std::string& msg)>;

class TCustomSocksWSocket : public TCustomWSocket {
public:
  explicit TCustomSocksWSocket(TComponent* owner);
  ~TCustomSocksWSocket() override;

  // Proxy host and port; a non-empty server switches the layer on. Closed only; trimmed.
  const std::string& SocksServer() const;
  virtual void SetSocksServer(const std::string& value);
  const std::string& SocksPort() const;
  virtual void SetSocksPort(const std::string& value);
  // "4", "4A" or "5" (default; "4a" is taken as "4A"). Closed only.
  const std::string& SocksLevel() const;
  void SetSocksLevel(const std::string& value);
  // The user id of level 4, and the user name and password a level 5 proxy may be asked for
  // (each cut to 255 bytes); kept across closes.
  const std::string& SocksUsercode() const;
  void SetSocksUsercode(const std::string& value);
  const std::string& SocksPassword() const;
  void SetSocksPassword(const std::string& value);
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;
  TSocksPhase SocksPhase() const { return phase_; }
  bool SocksNegotiating() const { return phase_ != spData; }

  // The connection to the proxy is made (or failed, with its error).
  TSessionConnected OnSocksConnected;
  TSocksAuthStateEvent OnSocksAuthState;
  // The negotiation failed: OnSessionConnected and OnSessionClosed follow with the same code.
  TSocksErrorEvent OnSocksError;

  void Connect() override;
  void Listen() override;

protected:
  // The pass-through cases of these three are written here, so that a socket without a proxy
  // pays a test and a jump for each.
  void ResetDefaults() override;
  int GetRcvdCount() override { return held_ > 0 ? held_ : TCustomWSocket::GetRcvdCount(); }
  // While negotiating: reads and answers the proxy. Otherwise the base's.
  bool DoDataAvailable(uint16_t error) override {
    return phase_ == spData ? TCustomWSocket::DoDataAvailable(error) : Negotiate(error);
  }
  // The connection to the proxy: OnSocksConnected, then the first message to the proxy.
  void DoSessionConnected(uint16_t error) override;
  // The proxy that closes before granting the connection fails the negotiation.
  void DoSessionClosed(uint16_t error) override;
  // The bytes behind the proxy's reply first, then the platform's.
  int RawReceive(void* buffer, int bufferSize, int flags) override {
    return held_ == 0 ? TCustomWSocket::RawReceive(buffer, bufferSize, flags) : ReceiveHeld(buffer, bufferSize, flags);
  }

  virtual void DoSocksConnected(uint16_t error);
  virtual void DoSocksError(int error, const std::string& msg);

private:
  void DoSocksAuthState(TSocksAuthState state);
  bool Negotiate(uint16_t error);
  int ReceiveHeld(void* buffer, int bufferSize, int flags);
  // Reads what the phase still needs into the reply, then acts on it.
  void ReadReply();
  void EvaluateMethod();
  void EvaluateAuthentication();
  void EvaluateConnectReply();
  void SendAuthentication();
  void SendConnectRequest();
  // The proxy granted the connection; the first replyLength bytes of the reply were its answer.
  void Granted(size_t replyLength);
  // The negotiation failed: OnSocksError, OnSessionConnected and the close, all with code.
  void Fail(int code, const std::string& msg);
  bool Open() const { return HSocket() != INVALID_SOCKET && State() == wsConnected; }

  // What the layer keeps for a proxy, made when one is first configured: most sockets never
  // have one, and then the layer costs a pointer.
  struct TProxy {
    std::string Server, Port, Usercode, Password;
    std::string Reply;             // the proxy's answer so far; then the bytes behind it
    uint16_t DestinationPort = 0;  // network order
    uint8_t AuthMethod = 0;        // asked of a level 5 proxy: 0 none, 2 user name and password
  };
  TProxy& Proxy();
  bool Level5() const { return level_ == '5'; }

  std::unique_ptr<TProxy> proxy_;
  int held_ = 0;  // bytes behind the final reply not yet read
  TSocksPhase phase_ = spData;
  char level_ = '5';  // '4', 'A' (4A) or '5'
};

}  // namespace ordwin
