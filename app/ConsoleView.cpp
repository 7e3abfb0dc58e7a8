#include "app/ConsoleView.h"

#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "net/SelectEvents.h"

namespace ordwin {

namespace {

// The window's first width and the hint box's left edge, as the window lays them out.
constexpr int kFormWidth = 737;
constexpr int kHintBoxLeft = 24;

// How long the program, its services already stopped, waits at exit for a reader to take the
// log lines still waiting.
constexpr std::chrono::milliseconds kExitDrain{1000};

// A terminal would move back to the start of the line on a lone CR and overwrite the text.
std::string LineEnds(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

size_t LineEnd(const std::string& text, size_t from) {
  size_t end = text.find('\n', from);
  return end == std::string::npos ? text.size() : end + 1;
}

}  // namespace

std::string DroppedLinesNotice(size_t lines) { return "[log lines dropped: " + std::to_string(lines) + "]"; }

TConsoleView::TConsoleView(int outFd, int errFd, size_t backlogLimit, TEventLoop& loop)
    : errFd_(errFd), backlogLimit_(backlogLimit), writeFd_(outFd), endpoint_(this, loop),
      address_(kInitialAddressText) {
  struct stat st {};
  if (::fstat(outFd, &st) == 0) {
    if (S_ISSOCK(st.st_mode)) {
      outKind_ = TOutKind::okSocket;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
      // O_NONBLOCK on the caller's description would reach the shell and every process that
      // shares it; a description of our own keeps it to us. Never for a regular file: a new
      // description would write from offset 0 over what is there.
      const std::string path = "/proc/self/fd/" + std::to_string(outFd);
      own_ = TDescriptor(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
      if (own_.Valid()) {
        outKind_ = TOutKind::okDescription;
        writeFd_ = own_.Get();
      }
    }
  }
  // Write is reported only after a write found no room (WatchWrite), so this costs nothing
  // while the reader keeps up.
  loop.AsyncSelect(writeFd_, endpoint_.Id(), FD_WRITE);
}

TConsoleView::~TConsoleView() {
  endpoint_.Loop().AsyncSelect(writeFd_, endpoint_.Id(), 0);
  DrainBeforeExit();
}

void TConsoleView::DrainBeforeExit() {
  auto deadline = std::chrono::steady_clock::now() + kExitDrain;
  Flush();
  while (Pending() > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p{writeFd_, POLLOUT, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0) Flush();
  }
}

// Nothing here raises a handler: without a window nobody types, resizes or clicks.
void TConsoleView::Attach(TForm1*) {}

void TConsoleView::SetApplicationTitle(const std::string& title) { title_ = title; }

std::string TConsoleView::AdresSerwisuText() const { return address_; }

void TConsoleView::SetAdresSerwisuText(const std::string& text) { address_ = text; }

void TConsoleView::AppendLog(std::string_view lines) { Send(lines, "\n"); }

void TConsoleView::AppendHint(const std::string& line) { Send(LineEnds(line), "\n"); }

void TConsoleView::HandleMessage(TMessage& message) {
  if (message.Msg == WM_ASYNCSELECT && (SelectEvent(message.LParam) & FD_WRITE)) Flush();
}

void TConsoleView::Send(std::string_view text, std::string_view lineEnd) {
  if (Pending() > 0 || dropped_ > 0) {
    // Behind lines that wait: this batch must not overtake them.
    Keep(std::string(text).append(lineEnd), 0);
    Flush();
    return;
  }
  // The usual case: both parts leave in one write, and the batch is never copied.
  ssize_t n = WriteSome(text.data(), text.size(), lineEnd);
  if (n < 0 || static_cast<size_t>(n) == text.size() + lineEnd.size()) return;
  Keep(std::string(text).append(lineEnd), static_cast<size_t>(n));
  endpoint_.Loop().WatchWrite(writeFd_);
}

void TConsoleView::Keep(const std::string& text, size_t from) {
  size_t pos = from;
  if (from > 0 && text[from - 1] != '\n') {
    // The reader has seen the start of this line: its end goes in whatever the limit says.
    size_t end = LineEnd(text, from);
    backlog_.append(text, from, end - from);
    pos = end;
  }
  if (dropped_ == 0 && Pending() + (text.size() - pos) <= backlogLimit_) {
    backlog_.append(text, pos);
    return;
  }
  // Once a line is dropped, the lines after it are too, until the notice can say where the gap is.
  while (pos < text.size()) {
    size_t end = LineEnd(text, pos);
    if (dropped_ == 0 && Pending() + (end - pos) <= backlogLimit_) {
      backlog_.append(text, pos, end - pos);
    } else {
      ++dropped_;
    }
    pos = end;
  }
}

void TConsoleView::Flush() {
  for (;;) {
    while (Pending() > 0) {
      ssize_t n = WriteSome(backlog_.data() + sent_, Pending());
      if (n < 0) {
        // The reader is gone: nobody is left to read the lines or the count of the lost ones.
        backlog_.clear();
        sent_ = 0;
        dropped_ = 0;
        return;
      }
      if (n == 0) {
        // Moving the rest to the front only when it is at most half keeps this linear.
        if (sent_ >= backlog_.size() / 2) {
          backlog_.erase(0, sent_);
          sent_ = 0;
        }
        endpoint_.Loop().WatchWrite(writeFd_);
        return;
      }
      sent_ += static_cast<size_t>(n);
    }
    backlog_.clear();
    sent_ = 0;
    if (dropped_ == 0) return;
    backlog_ = DroppedLinesNotice(dropped_) + "\n";
    dropped_ = 0;
  }
}

ssize_t TConsoleView::WriteSome(const char* data, size_t size, std::string_view more) {
  iovec parts[2] = {{const_cast<char*>(data), size}, {const_cast<char*>(more.data()), more.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = more.empty() ? 1 : 2;
  for (;;) {
    ssize_t n = outKind_ == TOutKind::okSocket ? ::sendmsg(writeFd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL)
                                               : ::writev(writeFd_, parts, static_cast<int>(message.msg_iovlen));
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

int TConsoleView::FormWidth() const { return kFormWidth; }

int TConsoleView::HintBoxLeft() const { return kHintBoxLeft; }

void TConsoleView::SetHintBoxWidth(int) {}

int TConsoleView::RadioGroup1ItemIndex() const { return 0; }

void TConsoleView::ShowMessageBox(const std::string& caption, const std::string& text) {
  // Unbuffered and blocking, for the rare boxes on standard error. A reader that went away costs
  // the line, not the server.
  WriteAll(errFd_, caption + ": " + LineEnds(text) + "\n");
}

void TConsoleView::ShowErrorBox(const std::string& text) {
  WriteAll(errFd_, (title_.empty() ? "" : title_ + ": ") + LineEnds(text) + "\n");
}

}  // namespace ordwin
