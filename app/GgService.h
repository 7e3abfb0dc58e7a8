// The GG listener as one of the window's services: the GG session, logging into the form's
// packet log. Owned by TForm1, which outlives it.
#pragma once

#include "app/FormService.h"
#include "app/Unit1.h"
#include "gg/GgSession.h"

namespace ordwin {

class TGgService : public IFormService {
public:
  explicit TGgService(TForm1& form)
      : form_(form), session_([&form](std::string_view line) { form.AppendLog(line); }) {}

  // Listens on port 8074; a failure leaves the program without GG service, told in the log and
  // by a hint.
  void Start() override;
  TGgSession& Session() { return session_; }

private:
  TForm1& form_;
  TGgSession session_;
};

}  // namespace ordwin
