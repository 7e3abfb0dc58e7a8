#include "app/HttpService.h"

#include <exception>

#include "app/Hints.h"

namespace ordwin {

THttpService::THttpService(TForm1& Form, int GgPort)
    : form_(Form), ggPort_(GgPort), responder_([&Form] { return Form.AdresSerwisuCp1250(); }) {}

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
