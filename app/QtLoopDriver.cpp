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
  // A handler that opens a modal box runs Qt's loop inside this turn. The notifier stays off
  // until the turn ends, so that the descriptor, readable while work waits, does not start turn
  // after turn inside the box; the timer may still start one there, and the loop allows that
  // nesting as it allows a synchronous wait's.
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
