// TWalCheckpointer: a thread of its own that copies a WAL database's log into the database, and
// makes both durable, soon after writes: at most once a second, so that a power loss takes at
// most the last second of writes, and the waits for the disk never hold up the loop. Owns the
// thread and its own connection to the file; the owner of the loop's connection owns it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace ordwin {

class TWalCheckpointer {
public:
  static constexpr std::chrono::seconds kPause{1};

  // Starts the thread; the file must already be in WAL mode.
  explicit TWalCheckpointer(std::string path);
  // Stops the thread after the copy under way, if any.
  ~TWalCheckpointer();
  TWalCheckpointer(const TWalCheckpointer&) = delete;
  TWalCheckpointer& operator=(const TWalCheckpointer&) = delete;

  // Asks for a copy, after the pause that follows the last one; never waits. Safe from any thread.
  void Request();

private:
  void Run();

  std::string path_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool requested_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once everything above is ready
};

}  // namespace ordwin
