// TEvent: an event member of a socket object. Used like the std::function it holds (assign a
// callable or nullptr, test it, call it), but one pointer wide while unassigned: a socket has
// some fifteen events and a server's clients assign a few of them, so most are never set.
// A handler may clear or replace its own event (or destroy the object holding it): the closure
// that runs stays alive until it returns.
#pragma once

#include <functional>
#include <type_traits>
#include <utility>

namespace ordwin {

template <class Signature>
class TEvent;

template <class R, class... Args>
class TEvent<R(Args...)> {
public:
  using TFunction = std::function<R(Args...)>;

  TEvent() = default;
  TEvent(std::nullptr_t) {}
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, TEvent> && std::is_constructible_v<TFunction, F&&>) TEvent(F&& f) {
    Assign(TFunction(std::forward<F>(f)));
  }
  TEvent(const TEvent& other) { *this = other; }
  TEvent(TEvent&& other) noexcept : box_(std::exchange(other.box_, nullptr)) {}
  ~TEvent() { Drop(box_); }

  TEvent& operator=(const TEvent& other) {
    if (this != &other) Assign(other.box_ ? TFunction(other.box_->F) : TFunction());
    return *this;
  }
  TEvent& operator=(TEvent&& other) noexcept {
    if (this != &other) Drop(std::exchange(box_, std::exchange(other.box_, nullptr)));
    return *this;
  }
  TEvent& operator=(std::nullptr_t) {
    Drop(std::exchange(box_, nullptr));
    return *this;
  }
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, TEvent> && std::is_constructible_v<TFunction, F&&>) TEvent&
  operator=(F&& f) {
    Assign(TFunction(std::forward<F>(f)));
    return *this;
  }

  explicit operator bool() const { return box_ != nullptr; }
  R operator()(Args... args) const {
    TBox* box = box_;
    ++box->Holds;
    const THold hold{box};
    return box->F(std::forward<Args>(args)...);
  }

private:
  // The function with one hold for the event that owns it and one for each call running it;
  // the last hold to go frees it. One thread only, as every socket object.
  struct TBox {
    TFunction F;
    unsigned Holds = 1;
  };
  struct THold {
    TBox* Box;
    ~THold() { Drop(Box); }
  };
  static void Drop(TBox* box) {
    if (box != nullptr && --box->Holds == 0) delete box;
  }

  // An empty function (a null pointer, an empty std::function) leaves the event unassigned.
  void Assign(TFunction f) {
    if (!f) {
      Drop(std::exchange(box_, nullptr));
    } else if (box_ != nullptr && box_->Holds == 1) {
      box_->F = std::move(f);  // not running: the box is reused
    } else {
      Drop(std::exchange(box_, new TBox{std::move(f)}));
    }
  }

  TBox* box_ = nullptr;
};

}  // namespace ordwin
