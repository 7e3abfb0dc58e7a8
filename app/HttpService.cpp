#include "app/HttpService.h"

#include <exception>

#include "app/Hints.h"

namespace ordwin {

THttpService::THttpService(TForm1& form, int ggPort)
    : form_(form), ggPort_(ggPort), responder_([&form] { return form.AdresSerwisuCp1250(); }) {}

void THttpService::Start() {
  try {
    responder_.Start();
    return;
  } catch (const std::exception&) {
  }
  const std::string& port = responder_.HttpWSS().Port();
  form_.ShowMessageBox("Ostrzeżenie", HttpPortWarning(port, form_.AdresSerwisu(), ggPort_));
  form_.AppendHint(HttpPortHint(port, form_.AdresSerwisu(), ggPort_));
  form_.AppendHint("");
}

}  // namespace ordwin
