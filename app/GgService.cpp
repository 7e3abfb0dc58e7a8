#include "app/GgService.h"

#include <ctime>

#include "app/AddressSetting.h"
#include "app/CertificateFile.h"
#include "app/Hints.h"
#include "gg/Cp1250.h"
#include "gg/GgPort.h"
#include "http/DocumentFile.h"
#include "net/WinsockErrors.h"

namespace ordwin {

TGgService::~TGgService() {
  if (tlsPort_) *tlsPort_ = 0;
}

void TGgService::Start() {
  if (!session_.Start().empty()) {
    form_.AppendHint(GgPortHint(session_.RIDuziva().Port()));
    form_.AppendHint("");
    return;
  }
  StartTls();
  if (LoadKeepMessagesSetting()) OpenMessageStore();
}

void TGgService::StartTls() {
  const std::string path = SettingsFolder() + "/" + kCertificateFile;
  TCertificate certificate;
  try {
    certificate = LoadOrMakeCertificate(path, form_.AdresSerwisu());
  } catch (const Exception& e) {
    Log(GG_CP1250("<nie udało się użyć certyfikatu „%s” (%s); połączenia szyfrowane (TLS) nie działają"),
        Utf8ToCp1250(path), Utf8ToCp1250(e.Message()));
    form_.AppendHint(TlsCertificateHint(path, e.Message()));
    form_.AppendHint("");
    return;
  }
  if (certificate.Made) Log(GG_CP1250("<utworzono certyfikat „%s”"), Utf8ToCp1250(path));
  if (session_.StartTls(certificate.Context).empty()) {
    if (tlsPort_) *tlsPort_ = kGgTlsPort;
    return;
  }
  const TWSocket* listener = session_.RIDuziva().SocketServer()->TlsListener();
  if (listener != nullptr && listener->LastError() == WSAEACCES)
    form_.AppendHint(TlsPortRightsHint(kGgTlsPort, ProgramFile()));
  else
    form_.AppendHint(TlsPortHint(kGgTlsPort));
  form_.AppendHint("");
}

void TGgService::OpenMessageStore() {
  const std::string folder = ProgramDataFolder();
  const std::string path = folder.empty() ? std::string() : folder + "/" + kMessageStoreFile;
  store_ = TGgMessageStore::Open(
      path, [this](std::string_view line) { form_.AppendLog(line); }, std::time(nullptr));
  session_.SetMessageStore(store_.get());
  form_.AppendHint(store_ ? KeptMessagesHint(path) : KeptMessagesFailedHint(path));
  form_.AppendHint("");
}

}  // namespace ordwin
