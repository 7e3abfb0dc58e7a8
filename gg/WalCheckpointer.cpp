#include "gg/WalCheckpointer.h"

#include <sqlite3.h>

namespace ordwin {

TWalCheckpointer::TWalCheckpointer(std::string path) : path_(std::move(path)), thread_([this] { Run(); }) {}

TWalCheckpointer::~TWalCheckpointer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void TWalCheckpointer::Request() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_ = true;
  }
  wake_.notify_one();
}

void TWalCheckpointer::Run() {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    db = nullptr;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return requested_ || stopping_; });
    if (stopping_) break;
    requested_ = false;
    lock.unlock();
    // Passive: it copies what no reader still needs and never waits for the loop's writes.
    if (db != nullptr) sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    lock.lock();
    if (wake_.wait_for(lock, kPause, [this] { return stopping_; })) break;
  }
  lock.unlock();
  sqlite3_close(db);
}

}  // namespace ordwin
