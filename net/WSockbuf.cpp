#include "net/WSockbuf.h"

#include <algorithm>
#include <cstring>

namespace ordwin {

TBuffer::TBuffer(int size) { Resize(size); }

TBuffer::~TBuffer() = default;

void TBuffer::Resize(int size) {
  if (size <= 0) size = kDefaultSize;
  if (size == capacity_) return;
  capacity_ = size;
  storage_.reset();
}

const char* TBuffer::Peek(int& len) const {
  if (writePos_ - readPos_ <= 0) {
    len = 0;
    return nullptr;
  }
  len = writePos_ - readPos_;
  return storage_.get() + readPos_;
}

int TBuffer::Remove(int len) {
  int avail = writePos_ - readPos_;
  if (avail <= 0 || len <= 0) return 0;
  int n = std::min(len, avail);
  readPos_ += n;
  if (readPos_ == writePos_) readPos_ = writePos_ = 0;
  return n;
}

std::unique_ptr<char[]> TBuffer::Trim() {
  if (writePos_ != readPos_) return nullptr;
  return std::move(storage_);
}

void TBuffer::AdoptStorage(std::unique_ptr<char[]> block) {
  if (!storage_) storage_ = std::move(block);
}

}  // namespace ordwin
