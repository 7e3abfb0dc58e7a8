// TForm1, the main window's logic: the order of start-up and shut-down, the address setting, the
// packet log, the hints and the hosts-file choice. Owns the window's network services; reaches
// its controls only through the IFormView it is given, which must outlive it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/FormService.h"
#include "app/FormView.h"
#include "net/EventLoop.h"
#include "net/NotificationEndpoint.h"

namespace ordwin {

class TForm1 : public INotificationTarget {
public:
  static constexpr const char* kCaption = "Ordwin";

  explicit TForm1(IFormView& view, TEventLoop& loop = TEventLoop::Instance());
  // Runs FormDestroy when it has not run yet.
  ~TForm1();
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // The network services, added before FormCreate in the order of start: the HTTP server, then
  // the GG listener. FormDestroy destroys them in the reverse order.
  void AddService(std::unique_ptr<IFormService> service);

  // The window's handlers. They raise Exception on failure; the view runs them through Dispatch.
  void FormCreate();
  void AdresSerwisuEdChange();
  void FormResize();
  void FormCloseQuery(bool& canClose);
  void FormDestroy();
  void RadioGroup1Click();

  // Runs one handler as the application runs window handlers: an exception that leaves it is
  // shown in the standard error box (with a full stop added) and goes no further.
  void Dispatch(const std::function<void()>& handler) noexcept;

  // Memo1: appends one line of Windows-1250 bytes, its control bytes (line ends included) shown
  // as control pictures (see LogText.h). Only queues the bytes: the lines of one turn of the loop
  // reach the view together in its finish phase, after its sends (lines appended outside a turn,
  // in the next turn's), and before the form is destroyed. When the line's first repeatedHead
  // bytes are the head of the line before that was given one, its shown form is copied instead
  // of worked out again: a conversation's messages are most lines of a busy log.
  void AppendLog(std::string_view cp1250Line, size_t repeatedHead = 0);
  // RichEdit1: appends one line (UTF-8).
  void AppendHint(const std::string& line);
  // The current text of AdresSerwisuEd, read afresh each call: as UTF-8, and as the system's
  // 8-bit text (Windows-1250) for the wire.
  std::string AdresSerwisu() const;
  std::string AdresSerwisuCp1250() const;
  // A modal message box owned by the window, with a single OK button (the start-up warning).
  void ShowMessageBox(const std::string& caption, const std::string& text);

  // The hosts file the radio group rewrites; empty (the default) means the system's file.
  void SetHostsFilePath(std::string path) { hostsFilePath_ = std::move(path); }

  // Whether FormCreate got as far as starting the services.
  bool ServicesStarted() const { return servicesStarted_; }

private:
  void HandleMessage(TMessage& message) override;
  void FlushLog();

  IFormView& view_;
  TNotificationEndpoint endpoint_;
  std::vector<std::unique_ptr<IFormService>> services_;
  // The turn's lines, already as the view shows them, are the first pendingSize_ bytes; the rest
  // is room, zero-filled once as it grows and kept for the next turns.
  std::string pendingLog_;
  size_t pendingSize_ = 0;
  size_t pendingLines_ = 0;
  // The last head given, and how it shows.
  std::string headOf_;
  std::string shownHead_;
  std::string hostsFilePath_;
  bool servicesStarted_ = false;
  bool destroyed_ = false;
};

// The text of the standard error box for an exception's message.
std::string ErrorBoxText(const std::string& message);

}  // namespace ordwin
