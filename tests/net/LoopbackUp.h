// Brings the loopback interface of the current network namespace up: a namespace a test has
// just made has it down. And a network namespace of the test's own.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace ordwin::test {

inline bool BringLoopbackUp() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP;
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  if (fd >= 0) ::close(fd);
  return up;
}

// Moves this test process, and so the programs it starts, into a network namespace of its own
// with only the loopback interface up, so the program's fixed ports clash with nothing.
// Needs root; returns false where it is not allowed.
inline bool EnterPrivateNetwork() { return ::unshare(CLONE_NEWNET) == 0 && BringLoopbackUp(); }

}  // namespace ordwin::test
