#include "app/QtLoopDriver.h"

namespace ordwin {

TQtLoopDriver::TQtLoopDriver(TEventLoop& loop) : loop_(loop), notifier_(loop.BackendFd(), QSocketNotifier::Read) {
  again_.setSingleShot(true);
  QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { Turn(); });
  QObject::connect(&again_, &QTimer::timeout, [this] { Turn(); });
  Again();
}

TQtLoopDriver::~TQtLoopDriver() = default;

void TQtLoopDriver::Turn() {
  // A handler that opens a modal box runs Qt's loop inside this turn; turns must not nest.
  struct TPause {
    QSocketNotifier& Notifier;
    explicit TPause(QSocketNotifier& n) : Notifier(n) { Notifier.setEnabled(false); }
    ~TPause() { Notifier.setEnabled(true); }
  } pause(notifier_);
  loop_.ProcessMessages();
  Again();
}

void TQtLoopDriver::Again() {
  // At once while posted work waits; otherwise when the loop's first timer is due.
  if (int wait = loop_.BackendTimeout(); wait >= 0) again_.start(wait);
}

}  // namespace ordwin
