#include "app/Unit1.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>

#include "app/AddressSetting.h"
#include "app/Hints.h"
#include "app/LogText.h"
#include "gg/Cp1250.h"
#include "hosts/HostNames.h"
#include "hosts/HostsFile.h"
#include "net/Exception.h"
#include "net/VectorState.h"

namespace ordwin {

namespace {

// Asked of the finish phase of the turn by its first log line.
constexpr uint32_t WM_FLUSH_LOG = 1100;
constexpr size_t kKeptLogBuffer = 1 << 20;

enum THostsChoice { hcLeave = 0, hcRedirectAll = 1, hcRemoveAll = 2, hcRedirectAds = 3 };

}  // namespace

std::string ErrorBoxText(const std::string& message) {
  if (message.empty() || message.back() == '.') return message;
  return message + ".";
}

TForm1::TForm1(IFormView& view, TEventLoop& loop) : view_(view), endpoint_(this, loop) { view_.Attach(this); }

TForm1::~TForm1() {
  FormDestroy();
  FlushLog();
  view_.Attach(nullptr);
}

void TForm1::AddService(std::unique_ptr<IFormService> service) {
  assert(!servicesStarted_ && !destroyed_);
  services_.push_back(std::move(service));
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

void TForm1::FormCloseQuery(bool& canClose) { canClose = true; }

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

void TForm1::Dispatch(const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (const std::exception& e) {
    view_.ShowErrorBox(ErrorBoxText(e.what()));
  }
}

void TForm1::AppendLog(std::string_view cp1250Line, size_t repeatedHead) {
  size_t need = pendingSize_ + 1 + LogTextRoom(cp1250Line.size());
  if (need > pendingLog_.size()) pendingLog_.resize(std::max(need, 2 * pendingLog_.size()));
  char* p = pendingLog_.data() + pendingSize_;
  if (pendingLines_++ == 0)
    endpoint_.AtTurnEnd(tpFinish, WM_FLUSH_LOG);
  else
    *p++ = '\n';
  if (repeatedHead != 0 && repeatedHead <= cp1250Line.size()) {
    std::string_view head = cp1250Line.substr(0, repeatedHead);
    if (head != headOf_) {
      headOf_.assign(head);
      shownHead_.resize(LogTextRoom(head.size()));
      shownHead_.resize(static_cast<size_t>(WriteLogText(shownHead_.data(), head) - shownHead_.data()));
    }
    std::memcpy(p, shownHead_.data(), shownHead_.size());
    p += shownHead_.size();
    cp1250Line.remove_prefix(repeatedHead);
  }
  pendingSize_ = static_cast<size_t>(WriteLogText(p, cp1250Line) - pendingLog_.data());
  // Every GG packet is logged: this is where a turn makes most of its short copies.
  ClearUpperVectorState();
}

void TForm1::HandleMessage(TMessage& message) {
  if (message.Msg == WM_FLUSH_LOG) FlushLog();
}

void TForm1::FlushLog() {
  if (pendingLines_ == 0) return;
  view_.AppendLog(std::string_view(pendingLog_.data(), pendingSize_));
  pendingSize_ = 0;
  pendingLines_ = 0;
  // The room is kept for the next turn, unless one busy turn made it large.
  if (pendingLog_.size() > kKeptLogBuffer) {
    pendingLog_.clear();
    pendingLog_.shrink_to_fit();
  }
}

void TForm1::AppendHint(const std::string& line) { view_.AppendHint(line); }

std::string TForm1::AdresSerwisu() const { return view_.AdresSerwisuText(); }

std::string TForm1::AdresSerwisuCp1250() const { return Utf8ToCp1250(view_.AdresSerwisuText()); }

void TForm1::ShowMessageBox(const std::string& caption, const std::string& text) {
  view_.ShowMessageBox(caption, text);
}

}  // namespace ordwin
