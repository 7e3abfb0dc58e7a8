// The HTTP server as one of the window's services: the server-address responder on port 80,
// answering with the form's address box. Owned by TForm1, which outlives it.
#pragma once

#include "app/FormService.h"
#include "app/Unit1.h"
#include "http/HttpResponder.h"

namespace ordwin {

class THttpService : public IFormService {
public:
  // The GG port (kGgPort) is named in the warning when port 80 cannot be opened. A connection
  // the server turns away is told of in the form's packet log. tlsPort gives the port of GG over
  // TLS while it runs (see THttpResponder).
  explicit THttpService(TForm1& form, THttpResponder::TTlsPortSource tlsPort = nullptr);

  // Starts the responder. When its port cannot be opened: the warning box, then the HTTP hint
  // and an empty line in the hint box; the program goes on without HTTP and never retries. The
  // warning and the hint tell a port refused for want of rights (with the setcap line for this
  // program's file) from one that another server holds.
  void Start() override;
  THttpResponder& Responder() { return responder_; }

private:
  TForm1& form_;
  THttpResponder responder_;
};

}  // namespace ordwin
