#include "app/GgService.h"

#include "app/Hints.h"

namespace ordwin {

void TGgService::Start() {
  if (session_.Start().empty()) return;
  form_.AppendHint(GgPortHint(session_.RIDuziva().Port()));
  form_.AppendHint("");
}

}  // namespace ordwin
