// The window's controls without a window: log lines and hints go to one descriptor (standard
// output) as UTF-8, message and error boxes to another (standard error). Does not own either.
#pragma once

#include <string>

#include "app/FormView.h"

namespace ordwin {

class TConsoleView : public IFormView {
public:
  TConsoleView(int OutFd, int ErrFd);
  ~TConsoleView();
  TConsoleView(const TConsoleView&) = delete;
  TConsoleView& operator=(const TConsoleView&) = delete;

  void Attach(TForm1* Form) override;
  void SetApplicationTitle(const std::string& Title) override;
  std::string AdresSerwisuText() const override;
  void SetAdresSerwisuText(const std::string& Text) override;
  // One write for the whole batch, so that a reader never sees half a turn.
  void AppendLog(const std::string& Lines) override;
  void AppendHint(const std::string& Line) override;
  int FormWidth() const override;
  int HintBoxLeft() const override;
  void SetHintBoxWidth(int Width) override;
  int RadioGroup1ItemIndex() const override;
  // "Caption: text", with CR and CR LF turned into line ends.
  void ShowMessageBox(const std::string& Caption, const std::string& Text) override;
  // "Title: text", or the text alone before the title is set.
  void ShowErrorBox(const std::string& Text) override;

private:
  int outFd_;
  int errFd_;
  std::string title_;
  std::string address_;
};

}  // namespace ordwin
