#include "app/QtLoopDriver.h"

namespace ordwin {

TQtLoopDriver::TQtLoopDriver(EventLoop& Loop) : loop_(Loop), notifier_(Loop.BackendFd(), QSocketNotifier::Read) {
  again_.setSingleShot(true);
  again_.setInterval(0);
  QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { Turn(); });
  QObject::connect(&again_, &QTimer::timeout, [this] { Turn(); });
  if (loop_.BackendTimeout() == 0) again_.start();
}

TQtLoopDriver::~TQtLoopDriver() = default;

void TQtLoopDriver::Turn() {
  // A handler that opens a modal box runs Qt's loop inside this turn; turns must not nest.
  struct TPause {
    QSocketNotifier& Notifier;
    explicit TPause(QSocketNotifier& N) : Notifier(N) { Notifier.setEnabled(false); }
    ~TPause() { Notifier.setEnabled(true); }
  } pause(notifier_);
  loop_.ProcessMessages();
  if (loop_.BackendTimeout() == 0) again_.start();
}

}  // namespace ordwin
