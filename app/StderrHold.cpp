#include "app/StderrHold.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace ordwin {

TStderrHold::TStderrHold() {
  held_ = TDescriptor(::memfd_create("ordwin-stderr", MFD_CLOEXEC));
  if (!held_.Valid()) return;
  saved_ = TDescriptor(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
  if (!saved_.Valid() || ::dup2(held_.Get(), STDERR_FILENO) < 0) {
    saved_.Close();
    held_.Close();
  }
}

TStderrHold::~TStderrHold() { PassOn(); }

void TStderrHold::PassOn() {
  if (!held_.Valid()) return;
  Restore();
  char buffer[4096];
  ssize_t n;
  for (off_t at = 0; (n = ::pread(held_.Get(), buffer, sizeof(buffer), at)) > 0; at += n)
    if (::write(STDERR_FILENO, buffer, static_cast<size_t>(n)) != n) break;
  held_.Close();
}

void TStderrHold::Drop() {
  if (!held_.Valid()) return;
  Restore();
  held_.Close();
}

void TStderrHold::Restore() {
  ::dup2(saved_.Get(), STDERR_FILENO);
  saved_.Close();
}

}  // namespace ordwin
