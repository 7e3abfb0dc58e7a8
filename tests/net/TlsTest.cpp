#include "net/TlsContext.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/Exception.h"
#include "net/TlsCertificate.h"

namespace ordwin {
namespace {

const TTlsCertificatePem& Certificate() {
  static const TTlsCertificatePem made = MakeSelfSignedCertificate({"192.168.1.10", "appmsg.gadu-gadu.pl", "zła nazwa"}, 3650);
  return made;
}

// What the openssl tool says of a PEM certificate.
std::string OpensslSays(const std::string& pem, const std::string& arguments) {
  const std::string file = ::testing::TempDir() + "/certificate.pem";
  std::ofstream(file) << pem;
  std::string said;
  if (FILE* out = ::popen(("openssl x509 -noout " + arguments + " -in " + file + " 2>&1").c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof(line), out) != nullptr) said += line;
    ::pclose(out);
  }
  return said;
}

TEST(TlsCertificateTest, MadeForItsNamesForTenYearsAndReadAsTheToolReadsIt) {
  const TTlsCertificatePem& made = Certificate();
  auto context = TTlsContext::FromPem(made.Certificate, made.Key);
  EXPECT_EQ(context->Names(), (std::vector<std::string>{"192.168.1.10", "appmsg.gadu-gadu.pl"}));
  EXPECT_EQ(OpensslSays(made.Certificate, "-fingerprint -sha256"), "sha256 Fingerprint=" + context->Fingerprint() + "\n");
  EXPECT_EQ(OpensslSays(made.Certificate, "-subject -ext subjectAltName,basicConstraints"),
            "subject=O = Ordwin, CN = 192.168.1.10\nX509v3 Basic Constraints: critical\n    CA:FALSE\n"
            "X509v3 Subject Alternative Name: \n    IP Address:192.168.1.10, DNS:appmsg.gadu-gadu.pl\n");
  EXPECT_EQ(OpensslSays(made.Certificate, "-checkend " + std::to_string(3649 * 86400)), "Certificate will not expire\n");
  EXPECT_EQ(OpensslSays(made.Certificate, "-checkend " + std::to_string(3650 * 86400 + 60)), "Certificate will expire\n");

  const TTlsCertificatePem other = MakeSelfSignedCertificate({"localhost"}, 1);
  for (const auto& [certificate, key, error] : {std::tuple{std::string("garbage"), made.Key, "cannot read the certificate"},
                                               std::tuple{made.Certificate, std::string(), "cannot read the private key"},
                                               std::tuple{made.Certificate, other.Key, "the private key does not belong"}}) {
    try {
      TTlsContext::FromPem(certificate, key);
      ADD_FAILURE() << error;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message().rfind(error, 0), 0u) << e.Message();
    }
  }
}

}  // namespace
}  // namespace ordwin
