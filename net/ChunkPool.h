// TChunkPool: spare byte blocks for send-queue chunks, one shared by the socket objects of a
// thread. A drained chunk gives its block here and the next chunk that needs one takes it back,
// still warm in the cache, instead of a fresh allocation; at most kMaxSpare blocks are kept, so
// idle connections hold none.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace ordwin {

class TChunkPool {
public:
  static constexpr size_t kMaxSpare = 256;

  // A block of blockSize bytes (spare blocks are of the size of the first one given).
  std::unique_ptr<char[]> Take(int blockSize);
  // Keeps a block of blockSize bytes for later, or frees it when enough are kept.
  void Give(std::unique_ptr<char[]> block, int blockSize);
  size_t Spare() const { return spare_.size(); }

private:
  std::vector<std::unique_ptr<char[]>> spare_;
  int blockSize_ = 0;
};

}  // namespace ordwin
