#include "app/HttpService.h"

#include <exception>

#include "app/Hints.h"
#include "gg/GgLogFormat.h"
#include "gg/GgPort.h"
#include "net/WinsockErrors.h"

namespace ordwin {

THttpService::THttpService(TForm1& form, THttpResponder::TTlsPortSource tlsPort)
    : form_(form), responder_([&form] { return form.AdresSerwisuCp1250(); }, std::move(tlsPort)) {
  responder_.HttpWSS().OnClientRefused = [&form](TObject*, THttpConnection* client, TConnectionCap::TVerdict why) {
    std::string line;
    GgFormatInto(line,
                 why == TConnectionCap::cvAddressFull
                     ? GG_CP1250("<odmowa połączenia HTTP z %s: za dużo połączeń z tego adresu")
                     : GG_CP1250("<odmowa połączenia HTTP z %s: za dużo połączeń"),
                 client->CachedPeerAddr());
    form.AppendLog(line);
  };
}

void THttpService::Start() {
  try {
    responder_.Start();
    return;
  } catch (const std::exception&) {
  }
  const std::string& port = responder_.HttpWSS().Port();
  const TWSocketServer* server = responder_.HttpWSS().SocketServer();
  if (server != nullptr && server->LastError() == WSAEACCES) {
    const std::string file = ProgramFile();
    form_.ShowMessageBox("Ostrzeżenie", HttpPortRightsWarning(port, file));
    form_.AppendHint(HttpPortRightsHint(port, file));
  } else {
    form_.ShowMessageBox("Ostrzeżenie", HttpPortWarning(port, form_.AdresSerwisu(), kGgPort));
    form_.AppendHint(HttpPortHint(port, form_.AdresSerwisu(), kGgPort));
  }
  form_.AppendHint("");
}

}  // namespace ordwin
