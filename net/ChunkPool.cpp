#include "net/ChunkPool.h"

namespace ordwin {

std::unique_ptr<char[]> TChunkPool::Take(int blockSize) {
  if (blockSize == blockSize_ && !spare_.empty()) {
    std::unique_ptr<char[]> block = std::move(spare_.back());
    spare_.pop_back();
    return block;
  }
  return std::make_unique_for_overwrite<char[]>(static_cast<size_t>(blockSize));
}

void TChunkPool::Give(std::unique_ptr<char[]> block, int blockSize) {
  if (!block) return;
  if (spare_.empty()) blockSize_ = blockSize;
  if (blockSize != blockSize_ || spare_.size() >= kMaxSpare) return;
  spare_.push_back(std::move(block));
}

}  // namespace ordwin
