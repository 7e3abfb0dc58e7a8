#include "net/TlsCertificate.h"

#include <algorithm>
#include <functional>
#include <memory>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "net/Exception.h"
#include "net/TlsContext.h"

namespace ordwin {

namespace {

template <class T, void (*Free)(T*)>
struct TFreeWith {
  void operator()(T* p) const { Free(p); }
};
using TKey = std::unique_ptr<EVP_PKEY, TFreeWith<EVP_PKEY, EVP_PKEY_free>>;
using TCertificate = std::unique_ptr<X509, TFreeWith<X509, X509_free>>;
using TNames = std::unique_ptr<GENERAL_NAMES, TFreeWith<GENERAL_NAMES, GENERAL_NAMES_free>>;
using TBio = std::unique_ptr<BIO, TFreeWith<BIO, BIO_free_all>>;
using TNumber = std::unique_ptr<BIGNUM, TFreeWith<BIGNUM, BN_free>>;

constexpr int kCommonNameLimit = 64;

[[noreturn]] void Fail(const std::string& what) {
  std::string reason = TakeTlsErrorText();
  throw Exception(reason.empty() ? "cannot make a certificate: " + what
                                 : "cannot make a certificate: " + what + ": " + reason);
}

void Check(int result, const char* what) {
  if (result != 1) Fail(what);
}

bool IsHostName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
  });
}

// One alternative name, or nullptr for a name that can be neither kind.
GENERAL_NAME* AlternativeName(const std::string& name) {
  if (ASN1_OCTET_STRING* address = a2i_IPADDRESS(name.c_str())) {
    GENERAL_NAME* general = GENERAL_NAME_new();
    GENERAL_NAME_set0_value(general, GEN_IPADD, address);
    return general;
  }
  ERR_clear_error();
  if (!IsHostName(name)) return nullptr;
  ASN1_IA5STRING* text = ASN1_IA5STRING_new();
  ASN1_STRING_set(text, name.data(), static_cast<int>(name.size()));
  GENERAL_NAME* general = GENERAL_NAME_new();
  GENERAL_NAME_set0_value(general, GEN_DNS, text);
  return general;
}

void AddExtension(X509* certificate, X509V3_CTX& context, int nid, const char* value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) Fail("extension");
  int added = X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
  Check(added, "extension");
}

std::string Pem(const std::function<int(BIO*)>& write) {
  TBio bio(BIO_new(BIO_s_mem()));
  Check(write(bio.get()), "PEM");
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace

TTlsCertificatePem MakeSelfSignedCertificate(const std::vector<std::string>& names, int days) {
  ERR_clear_error();
  TKey key(EVP_EC_gen("P-256"));
  if (!key) Fail("key");
  TCertificate certificate(X509_new());
  X509* x = certificate.get();
  Check(X509_set_version(x, X509_VERSION_3), "version");
  // 127 random bits: unique without a register of the serials given out, and positive.
  TNumber serial(BN_new());
  Check(BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY), "serial");
  if (BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x)) == nullptr) Fail("serial");
  if (X509_gmtime_adj(X509_getm_notBefore(x), -3600) == nullptr) Fail("validity");
  if (X509_time_adj_ex(X509_getm_notAfter(x), days, 0, nullptr) == nullptr) Fail("validity");

  TNames alternative(GENERAL_NAMES_new());
  std::string commonName;
  for (const std::string& name : names) {
    GENERAL_NAME* general = AlternativeName(name);
    if (general == nullptr) continue;
    sk_GENERAL_NAME_push(alternative.get(), general);
    if (commonName.empty() && name.size() <= kCommonNameLimit) commonName = name;
  }
  X509_NAME* subject = X509_get_subject_name(x);
  Check(X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Ordwin"), -1,
                                   -1, 0),
        "subject");
  if (!commonName.empty())
    Check(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0),
          "subject");
  Check(X509_set_issuer_name(x, subject), "issuer");
  Check(X509_set_pubkey(x, key.get()), "public key");

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
  AddExtension(x, context, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(x, context, NID_key_usage, "critical,digitalSignature");
  AddExtension(x, context, NID_ext_key_usage, "serverAuth");
  AddExtension(x, context, NID_subject_key_identifier, "hash");
  if (sk_GENERAL_NAME_num(alternative.get()) > 0)
    Check(X509_add1_ext_i2d(x, NID_subject_alt_name, alternative.get(), 0, X509V3_ADD_DEFAULT), "names");
  if (X509_sign(x, key.get(), EVP_sha256()) <= 0) Fail("signature");

  TTlsCertificatePem pem;
  pem.Certificate = Pem([x](BIO* bio) { return PEM_write_bio_X509(bio, x); });
  pem.Key =
      Pem([&key](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  return pem;
}

}  // namespace ordwin
