// TVanishingLink: a second network namespace joined to the test's own by a veth pair whose far
// end can be taken down, so that what connected through it vanishes as a sleeping laptop does:
// no close, no reset, its packets dropped. Needs root, and the test in a network namespace of
// its own (EnterPrivateNetwork), so that the machine's network is never touched.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "net/Descriptor.h"

namespace ordwin::test {

class TVanishingLink {
public:
  // The near end's address, in the test's namespace.
  static constexpr const char* kNear = "10.201.0.1";

  TVanishingLink() : near_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    if (!near_.Valid() || ::unshare(CLONE_NEWNET) != 0) return;
    far_ = TDescriptor(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    ::setns(near_.Get(), CLONE_NEWNET);
    valid_ = Run("ip link add vnear type veth peer name vfar netns /proc/" + std::to_string(::getpid()) + "/fd/" +
                 std::to_string(far_.Get()) + " && ip addr add " + kNear + "/24 dev vnear && ip link set vnear up");
    InFar([&] { valid_ = valid_ && Run("ip addr add 10.201.0.2/24 dev vfar && ip link set vfar up"); });
  }
  bool Valid() const { return valid_; }

  // Runs work with this thread in the far namespace: what it opens or starts lives there.
  template <class TWork>
  void InFar(TWork work) {
    if (!far_.Valid() || ::setns(far_.Get(), CLONE_NEWNET) != 0) return;
    work();
    ::setns(near_.Get(), CLONE_NEWNET);
  }
  // From now on nothing passes either way.
  void Drop() {
    InFar([] { Run("ip link set vfar down"); });
  }

private:
  static bool Run(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

  TDescriptor near_, far_;  // the far namespace lives as long as its descriptor, the pair with it
  bool valid_ = false;
};

}  // namespace ordwin::test
