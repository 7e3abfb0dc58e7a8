#include "app/Unit1.h"

#include <cassert>
#include <exception>

#include "app/AddressSetting.h"
#include "gg/Cp1250.h"
#include "app/Hints.h"
#include "app/LogText.h"
#include "hosts/HostNames.h"
#include "hosts/HostsFile.h"
#include "net/Exception.h"

namespace ordwin {

namespace {

// Posted to the form's own endpoint by the first log line of a turn.
constexpr uint32_t kFlushLog = 1100;

enum THostsChoice { hcLeave = 0, hcRedirectAll = 1, hcRemoveAll = 2, hcRedirectAds = 3 };

}  // namespace

std::string ErrorBoxText(const std::string& Message) {
  if (Message.empty() || Message.back() == '.') return Message;
  return Message + ".";
}

TForm1::TForm1(IFormView& View, EventLoop& Loop) : view_(View), endpoint_(this, Loop) { view_.Attach(this); }

TForm1::~TForm1() {
  FormDestroy();
  FlushLog();
  view_.Attach(nullptr);
}

void TForm1::AddService(std::unique_ptr<IFormService> Service) {
  assert(!servicesStarted_ && !destroyed_);
  services_.push_back(std::move(Service));
}

void TForm1::FormCreate() {
  view_.SetApplicationTitle(kCaption);

  std::string address = LoadAddressSetting();
  if (address != view_.AdresSerwisuText()) {
    view_.SetAdresSerwisuText(address);
    AdresSerwisuEdChange();
  }

  servicesStarted_ = true;
  for (const auto& service : services_) service->Start();

  view_.AppendHint(StartupHint(AdresSerwisu()));
  view_.AppendHint("");
  view_.AppendHint(CompanionClientHint());
}

void TForm1::AdresSerwisuEdChange() { StoreAddressSetting(view_.AdresSerwisuText()); }

void TForm1::FormResize() { view_.SetHintBoxWidth(view_.FormWidth() - 2 * view_.HintBoxLeft()); }

void TForm1::FormCloseQuery(bool& CanClose) { CanClose = true; }

void TForm1::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  // The GG listener goes first: its clients are closed before the HTTP server stops.
  while (!services_.empty()) services_.pop_back();
  FlushLog();
}

void TForm1::RadioGroup1Click() {
  const std::string path = hostsFilePath_.empty() ? HostsFilePath() : hostsFilePath_;
  switch (view_.RadioGroup1ItemIndex()) {
    case hcRedirectAll:
      RedirectHosts(path, false);
      break;
    case hcRemoveAll:
      RemoveRedirections(path);
      break;
    case hcRedirectAds:
      RedirectHosts(path, true);
      break;
    default:
      break;
  }
}

void TForm1::Dispatch(const std::function<void()>& Handler) noexcept {
  try {
    Handler();
  } catch (const std::exception& e) {
    view_.ShowErrorBox(ErrorBoxText(e.what()));
  }
}

void TForm1::AppendLog(std::string Cp1250Line) {
  if (pendingLog_.empty()) endpoint_.PostAtTurnEnd(kFlushLog, 0, 0);
  pendingLog_.push_back(std::move(Cp1250Line));
}

void TForm1::HandleMessage(TMessage& Message) {
  if (Message.Msg == kFlushLog) FlushLog();
}

void TForm1::FlushLog() {
  if (pendingLog_.empty()) return;
  size_t size = pendingLog_.size();
  for (const std::string& line : pendingLog_) size += line.size() + line.size() / 4;
  std::string text;
  text.reserve(size);
  for (const std::string& line : pendingLog_) {
    if (&line != &pendingLog_.front()) text += '\n';
    AppendLogText(text, line);
  }
  pendingLog_.clear();
  view_.AppendLog(text);
}

void TForm1::AppendHint(const std::string& Line) { view_.AppendHint(Line); }

std::string TForm1::AdresSerwisu() const { return view_.AdresSerwisuText(); }

std::string TForm1::AdresSerwisuCp1250() const { return Utf8ToCp1250(view_.AdresSerwisuText()); }

void TForm1::ShowMessageBox(const std::string& Caption, const std::string& Text) {
  view_.ShowMessageBox(Caption, Text);
}

}  // namespace ordwin
