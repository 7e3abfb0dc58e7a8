// Self-signed certificates for the server side of TLS, made in memory: for a server that has
// none from a certificate authority, whose clients take any certificate (or trust this one).
#pragma once

#include <string>
#include <vector>

namespace ordwin {

struct TTlsCertificatePem {
  std::string Certificate;
  std::string Key;  // unencrypted PKCS #8
};

// A new ECDSA P-256 key and a certificate it signs itself for names: an IP address becomes an
// IP name, anything else a DNS name, and one that cannot be either (empty, not ASCII) is left
// out. The first usable name is also the subject's common name. Valid from an hour before now
// (a client's clock may be a little behind) for days days. Raises Exception when TLS cannot
// make it.
TTlsCertificatePem MakeSelfSignedCertificate(const std::vector<std::string>& names, int days);

}  // namespace ordwin
