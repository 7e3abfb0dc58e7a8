#include "net/SyncWSocket.h"

#include <chrono>

namespace ordwin {

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* Owner) : TCustomLineWSocket(Owner) {}

TCustomSyncWSocket::~TCustomSyncWSocket() = default;

int TCustomSyncWSocket::RunAndWait(bool& DoneFlag, const std::function<void()>& Proc) {
  DoneFlag = false;
  if (Proc) Proc();
  return WaitForFlag(DoneFlag);
}

int TCustomSyncWSocket::WaitForFlag(bool& DoneFlag) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(WaitTimeout);
  while (!DoneFlag) {
    int left = -1;
    if (WaitTimeout > 0) {
      left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (left < 0) return kWaitTimedOut;
    }
    if (Loop().Terminated() || Terminated) return kWaitTimedOut;
    PumpMessages();
    if (!DoneFlag && !Loop().Terminated() && !Terminated) Loop().WaitForWork(left);
  }
  return 0;
}

}  // namespace ordwin
