// The GG listener as one of the window's services: the GG session, logging into the form's
// packet log, and, when the setting asks for it, the store of messages for people who are not
// connected. Owned by TForm1, which outlives it.
#pragma once

#include <memory>

#include "app/FormService.h"
#include "app/Unit1.h"
#include "gg/GgMessageStore.h"
#include "gg/GgSession.h"

namespace ordwin {

class TGgService : public IFormService {
public:
  explicit TGgService(TForm1& form)
      : form_(form), session_([&form](std::string_view line) { form.AppendLog(line); }) {}

  // Listens on port 8074; a failure leaves the program without GG service, told in the log and
  // by a hint. Once listening, opens the message store when the setting is on, and says so in a
  // hint (or that it could not).
  void Start() override;
  TGgSession& Session() { return session_; }

private:
  void OpenMessageStore();

  TForm1& form_;
  std::unique_ptr<TGgMessageStore> store_;  // before the session, which uses it to the end
  TGgSession session_;
};

}  // namespace ordwin
