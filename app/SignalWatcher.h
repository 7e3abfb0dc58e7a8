// Turns SIGINT and SIGTERM into a call on the event loop's thread, through a signalfd watched by
// the loop. Owns the descriptor. The two signals stay blocked for the rest of the process.
#pragma once

#include <functional>

#include "net/Descriptor.h"
#include "net/EventLoop.h"
#include "net/NotificationEndpoint.h"

namespace ordwin {

class TSignalWatcher : public INotificationTarget {
public:
  // Blocks SIGINT and SIGTERM; call before any thread starts, so that every thread inherits
  // the mask and the signals wait for the descriptor.
  static void BlockStopSignals();

  // The onStop callback runs inside a turn of the loop, once for each signal received.
  explicit TSignalWatcher(std::function<void()> onStop, TEventLoop& loop = TEventLoop::Instance());
  ~TSignalWatcher();
  TSignalWatcher(const TSignalWatcher&) = delete;
  TSignalWatcher& operator=(const TSignalWatcher&) = delete;

private:
  void HandleMessage(TMessage& message) override;

  std::function<void()> onStop_;
  TDescriptor fd_;
  TNotificationEndpoint endpoint_;
};

}  // namespace ordwin
