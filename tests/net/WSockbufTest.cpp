#include "net/WSockbuf.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "net/ChunkPool.h"

namespace ordwin {
namespace {

std::string Pending(const TBuffer& b) {
  int len = -1;
  const char* p = b.Peek(len);
  return p ? std::string(p, static_cast<size_t>(len)) : std::string();
}

TEST(WSockbuf, WriteFillsToCapacityRemoveDrainsAndADrainedChunkStartsOver) {
  TBuffer b(0);
  EXPECT_EQ(b.Capacity(), 1514);
  TBuffer small(8);
  EXPECT_EQ(small.Write("abcdefghij", 10), 8);
  EXPECT_EQ(small.Write("z", 1), 0);
  EXPECT_EQ(Pending(small), "abcdefgh");
  EXPECT_EQ(small.Remove(3), 3);
  EXPECT_EQ(Pending(small), "defgh");
  EXPECT_EQ(small.ReadPos(), 3);
  // Space freed at the front is not reused while bytes remain.
  EXPECT_EQ(small.Write("z", 1), 0);
  EXPECT_EQ(small.Remove(100), 5);
  EXPECT_EQ(small.ReadPos(), 0);
  EXPECT_EQ(small.WritePos(), 0);
  int len = -1;
  EXPECT_EQ(small.Peek(len), nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(small.Remove(1), 0);
  EXPECT_EQ(small.Write("12345678", 8), 8);
  EXPECT_EQ(Pending(small), "12345678");
}

TEST(WSockbuf, ResizeKeepsTheCapacityWhenUnchangedAndTakesTheDefaultForNonPositiveSizes) {
  TBuffer b(16);
  b.Resize(16);
  EXPECT_EQ(b.Capacity(), 16);
  b.Resize(-3);
  EXPECT_EQ(b.Capacity(), 1514);
  b.Resize(32);
  EXPECT_EQ(b.Capacity(), 32);
  EXPECT_EQ(b.Write(std::string(40, 'q').data(), 40), 32);
}

TEST(WSockbuf, TrimHandsOutTheBlockOfADrainedChunkOnlyAndTheNextWriteNeedsANewOne) {
  TBuffer b(8);
  EXPECT_FALSE(b.HasStorage());
  b.Write("abc", 3);
  EXPECT_EQ(b.Trim(), nullptr);  // bytes still wait: nothing is given back
  EXPECT_EQ(Pending(b), "abc");
  b.Remove(3);
  std::unique_ptr<char[]> block = b.Trim();
  ASSERT_NE(block, nullptr);
  EXPECT_FALSE(b.HasStorage());
  EXPECT_EQ(b.Capacity(), 8);
  b.AdoptStorage(std::move(block));
  EXPECT_TRUE(b.HasStorage());
  EXPECT_EQ(b.Write("12345678x", 9), 8);
  EXPECT_EQ(Pending(b), "12345678");
}

TEST(ChunkPool, KeepsSpareBlocksOfOneSizeUpToItsLimitAndHandsThemBackLastFirst) {
  TChunkPool pool;
  auto a = pool.Take(1514);
  char* first = a.get();
  pool.Give(std::move(a), 1514);
  pool.Give(std::make_unique<char[]>(100), 100);  // another size is not kept
  EXPECT_EQ(pool.Spare(), 1u);
  EXPECT_EQ(pool.Take(1514).get(), first);
  EXPECT_EQ(pool.Spare(), 0u);
  for (size_t i = 0; i < TChunkPool::kMaxSpare + 10; ++i) pool.Give(std::make_unique<char[]>(1514), 1514);
  EXPECT_EQ(pool.Spare(), TChunkPool::kMaxSpare);
}

}  // namespace
}  // namespace ordwin
