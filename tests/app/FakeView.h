// A stand-in for the window's controls that records what the form does to them.
#pragma once

#include <string>
#include <vector>

#include "app/FormView.h"

namespace ordwin {

struct TFakeView : IFormView {
  void Attach(TForm1* Form) override { Attached = Form; }
  void SetApplicationTitle(const std::string& Title) override { this->Title = Title; }
  std::string AdresSerwisuText() const override { return Address; }
  void SetAdresSerwisuText(const std::string& Text) override { Address = Text; }
  void AppendLog(const std::string& Lines) override { LogBatches.push_back(Lines); }
  void AppendHint(const std::string& Line) override { Hints.push_back(Line); }
  int FormWidth() const override { return Width; }
  int HintBoxLeft() const override { return 24; }
  void SetHintBoxWidth(int Width) override { HintWidth = Width; }
  int RadioGroup1ItemIndex() const override { return ItemIndex; }
  void ShowMessageBox(const std::string& Caption, const std::string& Text) override {
    Boxes.push_back(Caption + "|" + Text);
  }
  void ShowErrorBox(const std::string& Text) override { Errors.push_back(Text); }

  TForm1* Attached = nullptr;
  std::string Title;
  std::string Address = kInitialAddressText;
  std::vector<std::string> LogBatches;
  std::vector<std::string> Hints;
  std::vector<std::string> Boxes;
  std::vector<std::string> Errors;
  int Width = 737;
  int HintWidth = 513;
  int ItemIndex = 0;
};

}  // namespace ordwin
