// TTlsContext: what the server side of TLS shares among the connections it accepts: one
// certificate with its private key, and the protocol settings. Made once and never changed;
// shared (std::shared_ptr) by the listener that hands it out and every connection using it.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct ssl_ctx_st;

namespace ordwin {

class TTlsContext {
public:
  // From a PEM certificate (the server's, then any chain behind it) and the PEM private key
  // that belongs to it. Raises Exception naming what could not be read, or that the key does
  // not match the certificate.
  static std::shared_ptr<const TTlsContext> FromPem(const std::string& certificatePem, const std::string& keyPem);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  // The SHA-256 of the server's certificate (its DER form) as upper-case hexadecimal pairs
  // joined by ':', as `openssl x509 -fingerprint -sha256` shows it.
  const std::string& Fingerprint() const { return fingerprint_; }
  // The names the certificate is for: its DNS and IP alternative names, in its order.
  const std::vector<std::string>& Names() const { return names_; }

  ssl_ctx_st* Native() const { return context_; }

private:
  TTlsContext() = default;

  ssl_ctx_st* context_ = nullptr;
  std::string fingerprint_;
  std::vector<std::string> names_;
};

// The text of the oldest error in this thread's TLS error queue (empty when there is none); the
// queue is emptied.
std::string TakeTlsErrorText();

}  // namespace ordwin
