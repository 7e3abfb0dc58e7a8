// The window's controls without a window: log lines and hints go to one descriptor (standard
// output) as UTF-8, message and error boxes to another (standard error). Does not own either;
// owns the second, non-blocking description it may open of the first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "app/FormView.h"
#include "net/Descriptor.h"
#include "net/EventLoop.h"
#include "net/NotificationEndpoint.h"

namespace ordwin {

// Log bytes that wait for a slow reader: minutes of a usual log, a moment of a flood of whole
// payloads. A reader that falls further behind loses whole lines and is told how many.
inline constexpr size_t kLogBacklogLimit = 8u << 20;

// What a stalled reader is told once the lines that waited have reached it.
std::string DroppedLinesNotice(size_t lines);

class TConsoleView : public IFormView, private INotificationTarget {
public:
  // When outFd is a pipe, FIFO, socket or terminal, writing never blocks the loop: a pipe or
  // terminal gets a non-blocking description of its own (the caller's stays as it is), a socket
  // non-blocking sends. Where no such description can be opened (no /proc, a FIFO without a
  // reader), and for a regular file, writes go to outFd as they are.
  TConsoleView(int outFd, int errFd, size_t backlogLimit = kLogBacklogLimit, TEventLoop& loop = TEventLoop::Instance());
  // Gives a reader that is still reading a moment to take what waits; the rest is lost.
  ~TConsoleView();
  TConsoleView(const TConsoleView&) = delete;
  TConsoleView& operator=(const TConsoleView&) = delete;

  void Attach(TForm1* form) override;
  void SetApplicationTitle(const std::string& title) override;
  std::string AdresSerwisuText() const override;
  void SetAdresSerwisuText(const std::string& text) override;
  // One write for the whole batch, so that a reader never sees half a turn. What the descriptor
  // does not take waits, up to the backlog limit, and leaves on later turns as the descriptor
  // takes it; lines past the limit are dropped whole, counted, and the count is written once
  // the backlog has drained. Safe to call inside a handler; never blocks on a stalled reader.
  void AppendLog(std::string_view lines) override;
  // As AppendLog, one line.
  void AppendHint(const std::string& line) override;
  int FormWidth() const override;
  int HintBoxLeft() const override;
  void SetHintBoxWidth(int width) override;
  int RadioGroup1ItemIndex() const override;
  // "caption: text", with CR and CR LF turned into line ends. Blocking: boxes are rare and short.
  void ShowMessageBox(const std::string& caption, const std::string& text) override;
  // "Title: text", or the text alone before the title is set.
  void ShowErrorBox(const std::string& text) override;

private:
  enum class TOutKind { okPlain, okDescription, okSocket };

  void HandleMessage(TMessage& message) override;
  // Writes text and then lineEnd, or keeps what the descriptor does not take.
  void Send(std::string_view text, std::string_view lineEnd);
  void Keep(const std::string& text, size_t from);
  void Flush();
  void DrainBeforeExit();
  // Bytes written of data and then more, 0 when the descriptor takes none now; -1 when it never will.
  ssize_t WriteSome(const char* data, size_t size, std::string_view more = {});
  size_t Pending() const { return backlog_.size() - sent_; }

  int errFd_;
  size_t backlogLimit_;
  TOutKind outKind_ = TOutKind::okPlain;
  TDescriptor own_;  // the non-blocking description of a pipe or terminal
  int writeFd_;      // own_, or the caller's descriptor
  TNotificationEndpoint endpoint_;
  std::string backlog_;
  size_t sent_ = 0;  // bytes at the front of backlog_ that have left
  size_t dropped_ = 0;
  std::string title_;
  std::string address_;
};

}  // namespace ordwin
