// One of the main window's network services (the HTTP server, the GG listener). TForm1 owns it,
// starts it once in FormCreate and destroys it in FormDestroy, in the reverse order of start.
#pragma once

namespace ordwin {

class IFormService {
public:
  // Stopping is destruction: it closes the service's listener and every connection it holds.
  virtual ~IFormService() = default;
  // Starts listening. A failure that the service reports itself (a warning box and hint lines,
  // or nothing at all) ends in a normal return, and start-up goes on; an exception that leaves
  // Start ends start-up there and is shown in the error box.
  virtual void Start() = 0;
};

}  // namespace ordwin
