// TCustomSyncWSocket: waiting for an operation by pumping the event loop on the calling thread.
// Every notification of every socket object may run inside a wait. Adds no state to own.
#pragma once

#include <functional>

#include "net/LineWSocket.h"

namespace ordwin {

// What a wait gives when it ended before its flag was set.
constexpr int kWaitTimedOut = 12001;

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
  explicit TCustomSyncWSocket(TComponent* owner);
  ~TCustomSyncWSocket() override;

  // Sets doneFlag to false, runs proc (when given), then WaitForFlag(doneFlag).
  virtual int RunAndWait(bool& doneFlag, const std::function<void()>& proc);
  // Runs the loop until a handler sets doneFlag: 0. 12001 when WaitTimeout ran out first, or
  // the loop was asked to end (TEventLoop::Terminate, or Terminated for the own-thread pump).
  // Between turns it sleeps until the loop has work instead of spinning.
  virtual int WaitForFlag(bool& doneFlag);

protected:
  // Milliseconds a wait may last; 0 waits without limit.
  int WaitTimeout = 0;
};

}  // namespace ordwin
