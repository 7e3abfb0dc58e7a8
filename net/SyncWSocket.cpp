#include "net/SyncWSocket.h"

#include <chrono>

namespace ordwin {

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* owner) : TCustomLineWSocket(owner) {}

TCustomSyncWSocket::~TCustomSyncWSocket() = default;

int TCustomSyncWSocket::RunAndWait(bool& doneFlag, const std::function<void()>& proc) {
  doneFlag = false;
  if (proc) proc();
  return WaitForFlag(doneFlag);
}

int TCustomSyncWSocket::WaitForFlag(bool& doneFlag) {
  const TDestructionHold hold(*this);
  using TClock = std::chrono::steady_clock;
  const auto deadline = TClock::now() + std::chrono::milliseconds(WaitTimeout);
  while (!doneFlag) {
    int left = -1;
    if (WaitTimeout > 0) {
      left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count());
      if (left < 0) return kWaitTimedOut;
    }
    if (Loop().Terminated() || Terminated) return kWaitTimedOut;
    PumpMessages();
    if (!doneFlag && !Loop().Terminated() && !Terminated) Loop().WaitForWork(left);
  }
  return 0;
}

}  // namespace ordwin
