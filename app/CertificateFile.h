// The certificate of the GG server's TLS port: one PEM file in the settings folder that holds
// the certificate (and any chain behind it) and its private key. The user may put one there;
// without it, one is made at the first start and kept for the next.
#pragma once

#include <memory>
#include <string>

#include "net/TlsContext.h"

namespace ordwin {

inline constexpr const char* kCertificateFile = "certyfikat.pem";
// How long a certificate made here is valid: ten years.
inline constexpr int kCertificateDays = 3653;

struct TCertificate {
  std::shared_ptr<const TTlsContext> Context;
  bool Made = false;  // made now, and written to the file
};

// The certificate in the file at path (UTF-8). When there is no file, one is made for address
// and the GG network's server-address host (self-signed, see MakeSelfSignedCertificate) and
// written there, readable and writable by its owner only; a file that is there is never
// replaced. Raises Exception with the reason when the file cannot be read, used or written.
TCertificate LoadOrMakeCertificate(const std::string& path, const std::string& address);

}  // namespace ordwin
