// TLoopResidue: what a test may leave behind in this thread's loop (descriptors still watched,
// notifications still queued, endpoints and socket objects still alive), read as one line, so
// that every kind of test compares it with the state it began in by the same check.
#pragma once

#include <cstddef>
#include <string>

#include "net/CustomWSocket.h"
#include "net/EventLoop.h"

namespace ordwin::test {

struct TLoopResidue {
  int Watched = 0;
  size_t Queued = 0;
  size_t Endpoints = 0;
  int Sockets = 0;

  static TLoopResidue Now() {
    TEventLoop& loop = TEventLoop::Instance();
    return {loop.WatchedDescriptors(), loop.PendingPosts(), loop.LiveEndpoints(), TCustomWSocket::LiveCount()};
  }
  // The state a test must end in when it began in this one: nothing watched or queued.
  TLoopResidue Clean() const { return {0, 0, Endpoints, Sockets}; }
  std::string Text() const {
    return "watched " + std::to_string(Watched) + ", queued " + std::to_string(Queued) + ", endpoints " +
           std::to_string(Endpoints) + ", sockets " + std::to_string(Sockets);
  }
};

}  // namespace ordwin::test
