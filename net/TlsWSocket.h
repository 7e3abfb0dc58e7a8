// TCustomTlsWSocket: the TLS layer of the socket object, between SOCKS and line mode. After
// AcceptTls the connection is the server side of TLS: OnDataAvailable is offered only the
// plaintext the peer sent, and what is sent goes out in records once the handshake is done.
// Without AcceptTls every operation is the base's; the layer then costs a pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/SocksWSocket.h"
#include "net/TlsSession.h"

namespace ordwin {

// The loop's timer posts this to the object itself when a handshake's time is up.
constexpr uint32_t WM_TLS_HANDSHAKE_LIMIT = 1034;

class TCustomTlsWSocket : public TCustomSocksWSocket {
public:
  static constexpr int kHandshakeLimitMs = 10000;

  explicit TCustomTlsWSocket(TComponent* owner);
  ~TCustomTlsWSocket() override;

  // Makes the connection just attached (Dup) the server side of TLS with context, before any of
  // its bytes is read. The peer's handshake is answered as it comes, never waited for; what is
  // sent meanwhile waits in the send queue and goes out, encrypted, once the handshake is done.
  // A handshake that fails, bytes that are not TLS, or a handshake not done handshakeLimitMs
  // after this call, end the connection: closed with OnSessionClosed(10053), or (10060) for the
  // time limit, and TlsError says why. Raises ESocketException when not connected.
  void AcceptTls(std::shared_ptr<const TTlsContext> context, int handshakeLimitMs = kHandshakeLimitMs);
  // TLS is in use on the open connection; its handshake is not done yet.
  bool TlsActive() const { return tls_ && tls_->Session; }
  bool TlsHandshaking() const { return TlsActive() && tls_->Session->Handshaking(); }
  // Why TLS ended the last connection that used it, in the TLS library's words, or "handshake
  // time limit"; empty when it did not. Kept after the close, until the next AcceptTls.
  const std::string& TlsError() const;

protected:
  // Before the base sees a readiness report, the bytes that came are read into the session and
  // the handshake is answered; the report reaches the base's read handler only when they made
  // plaintext, and plaintext left unread after it brings another report, as bytes left in the
  // platform would. The time limit (1034) is the layer's own.
  void HandleNotification(TMessage& msg) override;
  // Ends TLS with the connection, keeping TlsError.
  void ResetDefaults() override;
  // The plaintext not yet read.
  int GetRcvdCount() override;
  // Plaintext, never the platform's bytes; would-block when none is there.
  int RawReceive(void* buffer, int bufferSize, int flags) override;
  // Both send the front of the queue in records and report the plaintext taken only once its
  // records have all gone out: the send queue still holds what the platform has not taken.
  // Nothing (0) while the handshake goes on; the layer sends the queue itself when it ends.
  int RawSend(const void* data, int len) override;
  int RawSendGathered(const iovec* parts, int count) override;
  // Sends what the platform could not take of the handshake before raising OnDataSent.
  void DoDataSent(uint16_t error) override;
  // An orderly close ends TLS with close_notify first.
  void DoClose(bool shut, uint16_t error) override;

private:
  // Reads the platform's bytes into the session (at most kReadLimit a report), sends what it
  // answers, and sends the queue once the handshake is done; false when the connection ended.
  bool ReadRecords();
  // Sends the session's output: 1 when it has all gone, 0 when the platform is full, -1 on an
  // error (errno tells).
  int SendOutput();
  // Encrypts the front of the parts (at most kSendLimit bytes) in records of up to
  // kRecordLimit bytes onto the session's output, or sends the records made for them before:
  // as RawSend answers. A failure to encrypt is a lost connection (ECONNABORTED).
  int SendRecords(const iovec* parts, int count);
  // Encrypts the front of the parts into records, adding their plaintext to InFlight; false
  // when TLS failed.
  bool Encrypt(const iovec* parts, int count);
  // Ends the connection for a reason of TLS's: error is the close's code.
  void FailTls(const std::string& why, uint16_t error);
  // Drops the session and its timer.
  void EndSession();

  static constexpr int kReadLimit = 65536;
  static constexpr size_t kSendLimit = 4 * TTlsSession::kRecordLimit;

  struct TTls {
    std::unique_ptr<TTlsSession> Session;
    std::string Error;
    uint64_t HandshakeTimer = 0;
    int InFlight = 0;  // plaintext of the records that are going out, not yet reported taken
  };
  std::unique_ptr<TTls> tls_;
};

}  // namespace ordwin
