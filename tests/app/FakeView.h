// A stand-in for the window's controls that records what the form does to them.
#pragma once

#include <string>
#include <vector>

#include "app/FormView.h"

namespace ordwin {

struct TFakeView : IFormView {
  void Attach(TForm1* form) override { Attached = form; }
  void SetApplicationTitle(const std::string& title) override { this->Title = title; }
  std::string AdresSerwisuText() const override { return Address; }
  void SetAdresSerwisuText(const std::string& text) override { Address = text; }
  void AppendLog(std::string_view lines) override { LogBatches.emplace_back(lines); }
  void AppendHint(const std::string& line) override { Hints.push_back(line); }
  int FormWidth() const override { return Width; }
  int HintBoxLeft() const override { return 24; }
  void SetHintBoxWidth(int width) override { HintWidth = width; }
  int RadioGroup1ItemIndex() const override { return ItemIndex; }
  void ShowMessageBox(const std::string& caption, const std::string& text) override {
    Boxes.push_back(caption + "|" + text);
  }
  void ShowErrorBox(const std::string& text) override { Errors.push_back(text); }

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
