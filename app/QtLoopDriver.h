// Drives the program's event loop from Qt's, on the same thread: a socket notifier on the loop's
// pollable descriptor runs one turn, and a timer runs another while posted work waits or when
// the loop's first timer is due.
// Does not own the loop.
#pragma once

#include <QSocketNotifier>
#include <QTimer>

#include "net/EventLoop.h"

namespace ordwin {

class TQtLoopDriver {
public:
  explicit TQtLoopDriver(TEventLoop& loop = TEventLoop::Instance());
  ~TQtLoopDriver();
  TQtLoopDriver(const TQtLoopDriver&) = delete;
  TQtLoopDriver& operator=(const TQtLoopDriver&) = delete;

private:
  void Turn();
  void Again();

  TEventLoop& loop_;
  QSocketNotifier notifier_;
  QTimer again_;
};

}  // namespace ordwin
