// TPoller, the epoll seam: a level-triggered readiness set keyed by descriptor. Owned by the
// event loop; owns the epoll descriptor, not the descriptors in the set.
#pragma once

#include <cstdint>
#include <vector>

#include <sys/epoll.h>

#include "net/Descriptor.h"

namespace ordwin {

class TPoller {
public:
  // The most descriptors one wait returns. A short turn keeps what it touches in the cache and
  // lets its sends leave sooner; descriptors left over are still ready on the next wait.
  static constexpr int kMaxReady = 32;

  TPoller();
  ~TPoller();
  TPoller(const TPoller&) = delete;
  TPoller& operator=(const TPoller&) = delete;

  // Sets the epoll interest of fd; 0 takes the descriptor out of the set. Returns 0 or errno.
  int Update(int fd, uint32_t events);
  // Waits up to timeoutMs (-1: no limit) and fills ready. A signal resumes the wait for the time
  // left; any other failure raises std::system_error.
  void Wait(int timeoutMs, std::vector<epoll_event>& ready);
  int Fd() const { return epfd_.Get(); }
  int Count() const { return count_; }

private:
  TDescriptor epfd_;
  int count_ = 0;
  std::vector<uint32_t> interest_;  // by descriptor; 0 = not in the set
  std::vector<epoll_event> events_;
};

}  // namespace ordwin
