// The Qt window of TForm1: its controls at their fixed places, their events wired to the
// attached form's handlers, and the message and error boxes. Owns its controls (as Qt children);
// does not own the form.
#pragma once

#include <QWidget>

#include "app/FormView.h"

class QButtonGroup;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace ordwin {

// Memo1 keeps at most this many lines and this many characters (UTF-16 units, line ends
// counted); the oldest lines go first. 100,000 lines are a day of a busy server, more than anyone
// scrolls back through. The characters bound the memory: a client can fill each line with a
// 64 KiB payload, and 100,000 such lines would take well over 10 GB; 16 M characters are about
// 32 MB of text, still hundreds of such lines or the whole 100,000 at a usual length.
inline constexpr int kLogLineLimit = 100000;
inline constexpr int kLogCharLimit = 16 * 1024 * 1024;

class TMainWindow : public QWidget, public IFormView {
public:
  explicit TMainWindow(int logLineLimit = kLogLineLimit, int logCharLimit = kLogCharLimit);
  ~TMainWindow() override;

  void Attach(TForm1* form) override;
  void SetApplicationTitle(const std::string& title) override;
  std::string AdresSerwisuText() const override;
  void SetAdresSerwisuText(const std::string& text) override;
  // Only the newest line may pass the character limit, when it alone is longer.
  void AppendLog(std::string_view lines) override;
  void AppendHint(const std::string& line) override;
  int FormWidth() const override;
  int HintBoxLeft() const override;
  void SetHintBoxWidth(int width) override;
  int RadioGroup1ItemIndex() const override;
  void ShowMessageBox(const std::string& caption, const std::string& text) override;
  void ShowErrorBox(const std::string& text) override;

  // The controls, under the names the rest of the program knows them by.
  QLabel* Label1;
  QPlainTextEdit* Memo1;
  QLineEdit* AdresSerwisuEd;
  QPlainTextEdit* RichEdit1;
  QGroupBox* RadioGroup1;
  QButtonGroup* RadioGroup1Items;

protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildControls(int logLineLimit);
  void WireEvents();
  void Raise(void (TForm1::*handler)());
  void TrimLog();

  int logCharLimit_;
  TForm1* form_ = nullptr;
  QString title_;
};

}  // namespace ordwin
