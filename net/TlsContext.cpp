#include "net/TlsContext.h"

#include <cstdio>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "net/Exception.h"

namespace ordwin {

namespace {

struct TBioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct TX509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct TKeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using TBio = std::unique_ptr<BIO, TBioFree>;
using TX509 = std::unique_ptr<X509, TX509Free>;

TBio MemoryBio(const std::string& text) { return TBio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))); }

[[noreturn]] void Fail(const std::string& what) {
  std::string reason = TakeTlsErrorText();
  throw Exception(reason.empty() ? what : what + ": " + reason);
}

// No password is ever asked for: the library's own way would wait for one on the terminal.
int NoPassword(char*, int, int, void*) { return -1; }

std::string HexPairs(const unsigned char* bytes, unsigned length) {
  std::string text;
  char pair[4];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof(pair), i == 0 ? "%02X" : ":%02X", bytes[i]);
    text += pair;
  }
  return text;
}

std::vector<std::string> AlternativeNames(X509* certificate) {
  std::vector<std::string> names;
  auto* general = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  if (general == nullptr) return names;
  for (int i = 0; i < sk_GENERAL_NAME_num(general); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(general, i);
    if (name->type == GEN_DNS) {
      const ASN1_STRING* text = name->d.dNSName;
      names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                         static_cast<size_t>(ASN1_STRING_length(text)));
    } else if (name->type == GEN_IPADD && ASN1_STRING_length(name->d.iPAddress) == 4) {
      char dotted[INET_ADDRSTRLEN];
      ::inet_ntop(AF_INET, ASN1_STRING_get0_data(name->d.iPAddress), dotted, sizeof(dotted));
      names.emplace_back(dotted);
    }
  }
  GENERAL_NAMES_free(general);
  return names;
}

}  // namespace

std::string TakeTlsErrorText() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return std::string();
  const char* reason = ERR_reason_error_string(code);
  if (reason != nullptr) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

std::shared_ptr<const TTlsContext> TTlsContext::FromPem(const std::string& certificatePem, const std::string& keyPem) {
  ERR_clear_error();
  std::shared_ptr<TTlsContext> made(new TTlsContext());
  made->context_ = SSL_CTX_new(TLS_server_method());
  if (made->context_ == nullptr) Fail("cannot start TLS");
  SSL_CTX* context = made->context_;
  // No renegotiation (a client could make the server redo its most costly step at will), and
  // no session tickets or cache: a GG client logs in once and stays.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(context, 0);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  // An idle connection gives its read and write buffers back (about 34 KB each).
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);

  TBio certificates = MemoryBio(certificatePem);
  TX509 certificate(PEM_read_bio_X509_AUX(certificates.get(), nullptr, NoPassword, nullptr));
  if (!certificate) Fail("cannot read the certificate");
  if (SSL_CTX_use_certificate(context, certificate.get()) != 1) Fail("cannot use the certificate");
  while (X509* link = PEM_read_bio_X509(certificates.get(), nullptr, NoPassword, nullptr)) {
    if (SSL_CTX_add0_chain_cert(context, link) != 1) {
      X509_free(link);
      Fail("cannot use the certificate chain");
    }
  }
  ERR_clear_error();  // the end of the chain reads as an error

  // Without a key block the library would only say that it could not read a certificate's as one.
  if (keyPem.find("PRIVATE KEY-----") == std::string::npos)
    throw Exception("cannot read the private key: there is none");
  if (keyPem.find("ENCRYPTED") != std::string::npos)
    throw Exception("cannot read the private key: it is protected by a password");
  TBio keyText = MemoryBio(keyPem);
  std::unique_ptr<EVP_PKEY, TKeyFree> key(PEM_read_bio_PrivateKey(keyText.get(), nullptr, NoPassword, nullptr));
  if (!key) Fail("cannot read the private key");
  if (SSL_CTX_use_PrivateKey(context, key.get()) != 1 || SSL_CTX_check_private_key(context) != 1)
    Fail("the private key does not belong to the certificate");

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1) Fail("cannot digest the certificate");
  made->fingerprint_ = HexPairs(digest, length);
  made->names_ = AlternativeNames(certificate.get());
  return made;
}

TTlsContext::~TTlsContext() { SSL_CTX_free(context_); }

}  // namespace ordwin
