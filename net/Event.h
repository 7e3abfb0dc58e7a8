// TEvent: an event member of a socket object. Used like the std::function it holds (assign a
// callable or nullptr, test it, call it), but one pointer wide while unassigned: a socket has
// some fifteen events and a server's clients assign a few of them, so most are never set.
#pragma once

#include <functional>
#include <memory>
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
    requires(!std::is_same_v<std::remove_cvref_t<F>, TEvent> && std::is_constructible_v<TFunction, F &&>)
  TEvent(F&& f) {
    Assign(TFunction(std::forward<F>(f)));
  }
  TEvent(const TEvent& other) { *this = other; }
  TEvent(TEvent&&) noexcept = default;

  TEvent& operator=(const TEvent& other) {
    if (this != &other) Assign(other.f_ ? TFunction(*other.f_) : TFunction());
    return *this;
  }
  TEvent& operator=(TEvent&&) noexcept = default;
  TEvent& operator=(std::nullptr_t) {
    f_.reset();
    return *this;
  }
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, TEvent> && std::is_constructible_v<TFunction, F &&>)
  TEvent& operator=(F&& f) {
    Assign(TFunction(std::forward<F>(f)));
    return *this;
  }

  explicit operator bool() const { return f_ != nullptr; }
  R operator()(Args... args) const { return (*f_)(std::forward<Args>(args)...); }

private:
  // An empty function (a null pointer, an empty std::function) leaves the event unassigned.
  void Assign(TFunction f) {
    if (!f) {
      f_.reset();
    } else if (f_) {
      *f_ = std::move(f);
    } else {
      f_ = std::make_unique<TFunction>(std::move(f));
    }
  }

  std::unique_ptr<TFunction> f_;
};

}  // namespace ordwin
