#include "net/WSockbuf.h"

#include <algorithm>
#include <cstring>

namespace ordwin {

TBuffer::TBuffer(int Size) { Resize(Size); }

TBuffer::~TBuffer() = default;

void TBuffer::Resize(int Size) {
  if (Size <= 0) Size = kDefaultSize;
  if (Size == capacity_) return;
  capacity_ = Size;
  storage_.reset();
}

int TBuffer::Write(const void* Data, int Len) {
  int room = capacity_ - writePos_;
  if (room <= 0 || Len <= 0) return 0;
  int n = std::min(room, Len);
  if (!storage_) storage_ = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(capacity_));
  std::memcpy(storage_.get() + writePos_, Data, static_cast<size_t>(n));
  writePos_ += n;
  return n;
}

const char* TBuffer::Peek(int& Len) const {
  if (writePos_ - readPos_ <= 0) {
    Len = 0;
    return nullptr;
  }
  Len = writePos_ - readPos_;
  return storage_.get() + readPos_;
}

int TBuffer::Remove(int Len) {
  int avail = writePos_ - readPos_;
  if (avail <= 0 || Len <= 0) return 0;
  int n = std::min(Len, avail);
  readPos_ += n;
  if (readPos_ == writePos_) readPos_ = writePos_ = 0;
  return n;
}

std::unique_ptr<char[]> TBuffer::Trim() {
  if (writePos_ != readPos_) return nullptr;
  return std::move(storage_);
}

void TBuffer::AdoptStorage(std::unique_ptr<char[]> Block) {
  if (!storage_) storage_ = std::move(Block);
}

}  // namespace ordwin
