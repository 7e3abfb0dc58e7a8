// FlagScope: sets a flag for the life of a scope and clears it on every way out, exceptions
// included. Guards against re-entry from inside handlers.
#pragma once

namespace ordwin {

class FlagScope {
public:
  explicit FlagScope(bool& Flag) : flag_(Flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

private:
  bool& flag_;
};

}  // namespace ordwin
