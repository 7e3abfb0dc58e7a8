// TNotificationEndpoint: the notification endpoint of one object, a member of the object it
// serves, registered with the loop for the object's life.
// Destroying it discards every notification still queued for it.
#pragma once

#include "net/EventLoop.h"

namespace ordwin {

class TNotificationEndpoint {
public:
  explicit TNotificationEndpoint(INotificationTarget* target, TEventLoop& loop = TEventLoop::Instance())
      : loop_(loop), id_(loop.Register(target)) {}
  ~TNotificationEndpoint() { loop_.Unregister(id_); }
  TNotificationEndpoint(const TNotificationEndpoint&) = delete;
  TNotificationEndpoint& operator=(const TNotificationEndpoint&) = delete;

  // Handled on a later turn of the loop, after everything posted before.
  void Post(uint32_t msg, intptr_t wParam, intptr_t lParam) { loop_.Post(id_, msg, wParam, lParam); }
  // Handled in that phase of this turn's end (outside a turn, of the next one's); see
  // TEventLoop::AtTurnEnd.
  void AtTurnEnd(TTurnPhase phase, uint32_t msg) { loop_.AtTurnEnd(phase, id_, msg); }
  TEndpointId Id() const { return id_; }
  TEventLoop& Loop() const { return loop_; }

private:
  TEventLoop& loop_;
  TEndpointId id_;
};

}  // namespace ordwin
