#include "app/ConsoleView.h"

#include <cerrno>

#include <unistd.h>


namespace ordwin {

namespace {

// The window's first width and the hint box's left edge, as the window lays them out.
constexpr int kFormWidth = 737;
constexpr int kHintBoxLeft = 24;

// Unbuffered: whoever follows the output sees each line as soon as it is written. A reader
// that went away costs the line, not the server.
void WriteAll(int Fd, const std::string& Data) {
  size_t done = 0;
  while (done < Data.size()) {
    ssize_t n = ::write(Fd, Data.data() + done, Data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// A terminal would move back to the start of the line on a lone CR and overwrite the text.
std::string LineEnds(const std::string& Text) {
  std::string out;
  for (size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] == '\r') {
      out += '\n';
      if (i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
    } else {
      out += Text[i];
    }
  }
  return out;
}

}  // namespace

TConsoleView::TConsoleView(int OutFd, int ErrFd) : outFd_(OutFd), errFd_(ErrFd), address_(kInitialAddressText) {}

TConsoleView::~TConsoleView() = default;

// Nothing here raises a handler: without a window nobody types, resizes or clicks.
void TConsoleView::Attach(TForm1*) {}

void TConsoleView::SetApplicationTitle(const std::string& Title) { title_ = Title; }

std::string TConsoleView::AdresSerwisuText() const { return address_; }

void TConsoleView::SetAdresSerwisuText(const std::string& Text) { address_ = Text; }

void TConsoleView::AppendLog(const std::string& Lines) { WriteAll(outFd_, Lines + "\n"); }

void TConsoleView::AppendHint(const std::string& Line) { WriteAll(outFd_, LineEnds(Line) + "\n"); }

int TConsoleView::FormWidth() const { return kFormWidth; }

int TConsoleView::HintBoxLeft() const { return kHintBoxLeft; }

void TConsoleView::SetHintBoxWidth(int) {}

int TConsoleView::RadioGroup1ItemIndex() const { return 0; }

void TConsoleView::ShowMessageBox(const std::string& Caption, const std::string& Text) {
  WriteAll(errFd_, Caption + ": " + LineEnds(Text) + "\n");
}

void TConsoleView::ShowErrorBox(const std::string& Text) {
  WriteAll(errFd_, (title_.empty() ? "" : title_ + ": ") + LineEnds(Text) + "\n");
}

}  // namespace ordwin
