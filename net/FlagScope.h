// TFlagScope: sets a flag for the life of a scope and clears it on every way out, exceptions
// included. Guards against re-entry from inside handlers.
#pragma once

namespace ordwin {

class TFlagScope {
public:
  explicit TFlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~TFlagScope() { flag_ = false; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

private:
  bool& flag_;
};

}  // namespace ordwin
