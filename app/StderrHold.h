// Holds back what the process writes to standard error for a while, then passes it on or drops
// it. Owns the saved standard error and the memory file that collects what was held.
#pragma once

#include "net/Descriptor.h"

namespace ordwin {

class TStderrHold {
public:
  // From here on, writes to descriptor 2 are collected. Where no memory file can be had, nothing
  // is held and both endings do nothing.
  TStderrHold();
  // Passes on what was held, unless it was already dropped or passed on.
  ~TStderrHold();
  TStderrHold(const TStderrHold&) = delete;
  TStderrHold& operator=(const TStderrHold&) = delete;

  // Standard error is what it was before, and what was held is written there.
  void PassOn();
  // Standard error is what it was before, and what was held is gone.
  void Drop();

private:
  void Restore();

  TDescriptor saved_;
  TDescriptor held_;
};

}  // namespace ordwin
