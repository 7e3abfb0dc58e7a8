// TTlsSession: the server side of TLS for one connection, in memory: the peer's bytes go in as
// they come and plaintext comes out; plaintext goes in and records come out, to be sent. Owns
// its OpenSSL state and shares the context; touches no descriptor, so it never blocks.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "net/TlsContext.h"

struct bio_st;
struct ssl_st;

namespace ordwin {

class TTlsSession {
public:
  // The most plaintext one record carries.
  static constexpr size_t kRecordLimit = 16384;

  explicit TTlsSession(std::shared_ptr<const TTlsContext> context);
  ~TTlsSession();
  TTlsSession(const TTlsSession&) = delete;
  TTlsSession& operator=(const TTlsSession&) = delete;

  // Takes bytes the peer sent: the handshake goes on as far as they take it, and the records
  // after it are decrypted onto Plaintext. False once TLS has failed on them (see Error); an
  // alert saying so may wait in Output. Nothing is taken after a failure.
  bool Receive(const char* data, size_t length);
  bool Handshaking() const { return handshaking_; }
  bool Failed() const { return !error_.empty(); }
  // Why TLS failed, as the TLS library says it ("wrong version number", "no shared cipher").
  const std::string& Error() const { return error_; }
  // The peer ended its side of TLS (close_notify): no more plaintext comes.
  bool PeerClosed() const { return peerClosed_; }
  // Decrypted bytes not read yet; the reader removes what it takes from the front.
  std::string& Plaintext() { return plaintext_; }

  // Encrypts the front of data, at most one record's worth, onto Output; returns how many bytes
  // it took: 0 while handshaking, after a failure, and for no data.
  size_t Encrypt(const char* data, size_t length);
  // Puts the close_notify alert onto Output, once the handshake is done.
  void Shutdown();

  // Bytes for the peer, in order: handshake messages, records, alerts. The sender removes what
  // went out with Sent.
  std::string_view Output() const { return std::string_view(output_).substr(outputSent_); }
  void Sent(size_t count);

private:
  // Runs the handshake, or reads the records, as far as the bytes received allow.
  void Advance();
  void Fail();
  // Moves what the TLS library wrote for the peer onto Output.
  void CollectOutput();

  std::shared_ptr<const TTlsContext> context_;
  ssl_st* ssl_ = nullptr;
  bio_st* in_ = nullptr;   // the peer's bytes; owned by ssl_
  bio_st* out_ = nullptr;  // for the peer; owned by ssl_
  std::string plaintext_;
  std::string output_;
  size_t outputSent_ = 0;
  std::string error_;
  bool handshaking_ = true;
  bool peerClosed_ = false;
};

}  // namespace ordwin
