// The main window's controls as TForm1 sees them: the Qt window, the console of the headless
// program, or a test's stand-in. The view raises TForm1's handlers through TForm1::Dispatch.
#pragma once

#include <string>
#include <string_view>

namespace ordwin {

class TForm1;

// AdresSerwisuEd's text before the setting is loaded.
inline constexpr const char* kInitialAddressText = "localhost";

class IFormView {
public:
  // The form whose handlers the view raises from now on; nullptr detaches it. TForm1's
  // constructor and destructor call this.
  virtual void Attach(TForm1* form) = 0;

  // The application title (the task-bar text); also the title of the error box.
  virtual void SetApplicationTitle(const std::string& title) = 0;

  // AdresSerwisuEd, as UTF-8. Setting the text from the program does not raise the change event.
  virtual std::string AdresSerwisuText() const = 0;
  virtual void SetAdresSerwisuText(const std::string& text) = 0;

  // Memo1: appends the given lines (UTF-8, separated by '\n', no line end after the last).
  virtual void AppendLog(std::string_view lines) = 0;
  // RichEdit1: appends one line (UTF-8).
  virtual void AppendHint(const std::string& line) = 0;

  // Geometry for FormResize. The window's width is the one it was sized to (737 at first):
  // the frame around it belongs to the window manager, which may not even draw one.
  virtual int FormWidth() const = 0;
  virtual int HintBoxLeft() const = 0;
  virtual void SetHintBoxWidth(int width) = 0;

  // RadioGroup1's selected item.
  virtual int RadioGroup1ItemIndex() const = 0;

  // A modal message box with a single OK button; returns when it is closed. A CR in text
  // starts a new line.
  virtual void ShowMessageBox(const std::string& caption, const std::string& text) = 0;
  // The standard error box: text under the application title.
  virtual void ShowErrorBox(const std::string& text) = 0;

protected:
  ~IFormView() = default;
};

}  // namespace ordwin
