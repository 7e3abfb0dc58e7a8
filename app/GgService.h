// The GG listener as one of the window's services: the GG session, logging into the form's
// packet log, and, when the setting asks for it, the store of messages for people who are not
// connected. Owned by TForm1, which outlives it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/FormService.h"
#include "app/Unit1.h"
#include "gg/GgLogFormat.h"
#include "gg/GgMessageStore.h"
#include "gg/GgSession.h"

namespace ordwin {

class TGgService : public IFormService {
public:
  // tlsPort, when given, is told the port of GG over TLS while it runs, and 0 otherwise.
  explicit TGgService(TForm1& form, std::shared_ptr<int> tlsPort = nullptr)
      : form_(form), tlsPort_(std::move(tlsPort)),
        session_([&form](std::string_view line, size_t repeatedHead) { form.AppendLog(line, repeatedHead); }) {}
  ~TGgService() override;

  // Listens on port 8074; a failure leaves the program without GG service, told in the log and
  // by a hint. Once listening, takes GG clients over TLS on port 443 too, with the certificate
  // file of the settings folder (made when there is none): the log says so with the
  // certificate's fingerprint, or the log and a hint say why not. Then opens the message store
  // when the setting is on, and says so in a hint (or that it could not).
  void Start() override;
  TGgSession& Session() { return session_; }

private:
  void StartTls();
  void OpenMessageStore();
  // One log line of the service's own, formatted as the session's are.
  template <class... TArgs>
  void Log(std::string_view cp1250Format, const TArgs&... values) {
    std::string line;
    GgFormatInto(line, cp1250Format, values...);
    form_.AppendLog(line);
  }

  TForm1& form_;
  std::shared_ptr<int> tlsPort_;
  std::unique_ptr<TGgMessageStore> store_;  // before the session, which uses it to the end
  TGgSession session_;
};

}  // namespace ordwin
