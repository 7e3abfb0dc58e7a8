// The epoll seam: a level-triggered readiness set keyed by descriptor. Owned by the event loop.
#pragma once

#include <cstdint>
#include <vector>

#include <sys/epoll.h>

namespace ordwin {

class Poller {
public:
  // The most descriptors one wait returns. A short turn keeps what it touches in the cache and
  // lets its sends leave sooner; descriptors left over are still ready on the next wait.
  static constexpr int kMaxReady = 32;

  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // Sets the epoll interest of Fd; 0 takes the descriptor out of the set. Returns 0 or errno.
  int Update(int Fd, uint32_t Events);
  // Whether Fd is in the set now.
  bool Watching(int Fd) const;
  // Waits up to TimeoutMs (-1: no limit) and fills Ready. A signal resumes the wait for the time
  // left; any other failure raises std::system_error.
  void Wait(int TimeoutMs, std::vector<epoll_event>& Ready);
  int Fd() const { return epfd_; }
  int Count() const { return count_; }

private:
  int epfd_;
  int count_ = 0;
  std::vector<uint32_t> interest_;  // by descriptor; 0 = not in the set
  std::vector<epoll_event> events_;
};

}  // namespace ordwin
