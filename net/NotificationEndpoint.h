// The notification endpoint of one object: registered with the loop for the object's life.
// Destroying it discards every notification still queued for it.
#pragma once

#include "net/EventLoop.h"

namespace ordwin {

class TNotificationEndpoint {
public:
  explicit TNotificationEndpoint(INotificationTarget* Target, EventLoop& Loop = EventLoop::Instance())
      : loop_(Loop), id_(Loop.Register(Target)) {}
  ~TNotificationEndpoint() { loop_.Unregister(id_); }
  TNotificationEndpoint(const TNotificationEndpoint&) = delete;
  TNotificationEndpoint& operator=(const TNotificationEndpoint&) = delete;

  // Handled on a later turn of the loop, after everything posted before.
  void Post(uint32_t Msg, intptr_t WParam, intptr_t LParam) { loop_.Post(id_, Msg, WParam, LParam); }
  // Handled when the turn delivering now ends (outside a turn: as Post).
  void PostAtTurnEnd(uint32_t Msg, intptr_t WParam, intptr_t LParam) {
    loop_.PostAtTurnEnd(id_, Msg, WParam, LParam);
  }
  EndpointId Id() const { return id_; }
  EventLoop& Loop() const { return loop_; }

private:
  EventLoop& loop_;
  EndpointId id_;
};

}  // namespace ordwin
