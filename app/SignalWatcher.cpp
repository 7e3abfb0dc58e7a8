#include "app/SignalWatcher.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <sys/signalfd.h>
#include <unistd.h>

#include "net/Exception.h"
#include "net/SelectEvents.h"

namespace ordwin {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void TSignalWatcher::BlockStopSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TSignalWatcher::TSignalWatcher(std::function<void()> onStop, TEventLoop& loop)
    : onStop_(std::move(onStop)), endpoint_(this, loop) {
  BlockStopSignals();
  sigset_t set = StopSignals();
  fd_ = TDescriptor(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd_.Valid()) throw Exception(std::string("signalfd: ") + std::strerror(errno));
  loop.AsyncSelect(fd_.Get(), endpoint_.Id(), FD_READ);
}

TSignalWatcher::~TSignalWatcher() { endpoint_.Loop().AsyncSelect(fd_.Get(), endpoint_.Id(), 0); }

void TSignalWatcher::HandleMessage(TMessage& message) {
  if (message.Msg != WM_ASYNCSELECT) return;
  signalfd_siginfo info;
  while (::read(fd_.Get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
    if (onStop_) onStop_();
  }
}

}  // namespace ordwin
