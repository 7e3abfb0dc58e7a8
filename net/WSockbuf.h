// TBuffer: one fixed-size chunk of a socket's send queue. Bytes are written at the back and
// taken from the front; a drained chunk starts again from its beginning. The byte block is
// allocated on the first write, and a drained chunk may give it back (Trim) until the next one.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>

#include "net/Component.h"

namespace ordwin {

class TBuffer : public TObject {
public:
  explicit TBuffer(int size);
  ~TBuffer() override;

  // A size of 0 or less stands for 1514. Only ever called on an empty chunk.
  void Resize(int size);
  // Copies as much of data as fits; returns the count copied. Inline: every queued packet
  // passes here.
  int Write(const void* data, int len) {
    int room = capacity_ - writePos_;
    if (room <= 0 || len <= 0) return 0;
    int n = std::min(room, len);
    if (!storage_) storage_ = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(capacity_));
    std::memcpy(storage_.get() + writePos_, data, static_cast<size_t>(n));
    writePos_ += n;
    return n;
  }
  // The unsent bytes: sets len to their count and returns where they start (nullptr when none).
  const char* Peek(int& len) const;
  // Takes up to len bytes from the front; returns the count taken.
  int Remove(int len);
  // Hands the byte block of a drained chunk out (nullptr otherwise); the next Write needs a new one.
  std::unique_ptr<char[]> Trim();
  // Gives a block-less chunk the block it writes into (of Capacity bytes).
  void AdoptStorage(std::unique_ptr<char[]> block);
  bool HasStorage() const { return storage_ != nullptr; }
  // What a Write takes whole into the block the chunk holds (0 without one).
  int Room() const { return storage_ ? capacity_ - writePos_ : 0; }

  int Capacity() const { return capacity_; }
  int WritePos() const { return writePos_; }
  int ReadPos() const { return readPos_; }

  static constexpr int kDefaultSize = 1514;

private:
  std::unique_ptr<char[]> storage_;
  int capacity_ = 0;
  int writePos_ = 0;
  int readPos_ = 0;
};

}  // namespace ordwin
