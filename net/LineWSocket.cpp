#include "net/LineWSocket.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "net/FlagScope.h"

namespace ordwin {

namespace {

constexpr char kBackspace = 8;
constexpr char kTab = 9;
constexpr int kTabWidth = 8;

}  // namespace

TCustomLineWSocket::TCustomLineWSocket(TComponent* owner) : TCustomTlsWSocket(owner) {}

TCustomLineWSocket::~TCustomLineWSocket() = default;

void TCustomLineWSocket::SetLineMode(bool value) {
  if (value == lineMode_) return;
  lineMode_ = value;
  bool buffered = count_ > 0 || pending_ > 0;
  if (value) {
    scanFrom_ = 0;  // the held bytes were never searched for line ends
  } else {
    pending_ = 0;  // the unread rest of the line joins the raw bytes behind it
  }
  if (buffered) Post(WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

void TCustomLineWSocket::SetLineEnd(const std::string& value) {
  if (value == lineEnd_) return;
  lineEnd_ = value;
  scanFrom_ = 0;
  if (lineMode_ && count_ > 0 && pending_ == 0) Post(WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

void TCustomLineWSocket::HandleNotification(TMessage& msg) {
  if (msg.Msg != WM_TRIGGER_DATA_AVAILABLE) return TCustomTlsWSocket::HandleNotification(msg);
  RunGuarded([this] { DeliverBuffered(); });
}

int TCustomLineWSocket::GetRcvdCount() {
  if (LineActive() || pending_ > 0) return pending_;
  if (count_ > 0) return count_;
  return TCustomTlsWSocket::GetRcvdCount();
}

int TCustomLineWSocket::RawReceive(void* buffer, int bufferSize, int flags) {
  if (platformRead_) return TCustomTlsWSocket::RawReceive(buffer, bufferSize, flags);
  int held = 0;
  if (pending_ > 0)
    held = pending_;
  else if (!LineActive() && count_ > 0)
    held = count_;
  if (held == 0) return TCustomTlsWSocket::RawReceive(buffer, bufferSize, flags);

  int n = std::min(std::max(bufferSize, 0), held);
  if (n > 0) {
    std::memcpy(buffer, buf_.get() + start_, static_cast<size_t>(n));
    if (pending_ > 0) pending_ -= n;
    Consume(n);
  }
  return n;
}

bool TCustomLineWSocket::DoDataAvailable(uint16_t error) {
  if (!LineActive()) return TCustomTlsWSocket::DoDataAvailable(error);

  int len = 0;
  ReadIntoLineBuffer(len);
  if (len <= 0) return true;

  // The echo may find the connection lost; its close frees the buffer, and the read ends there.
  const uint64_t epoch = bufferEpoch_;
  if (LineEdit) {
    EditLine(len);
    if (bufferEpoch_ != epoch) return true;
    scanFrom_ = std::min(scanFrom_, std::max(0, count_ - static_cast<int>(lineEnd_.size()) + 1));
    count_ += len;
  } else {
    count_ += len;
    if (LineEcho) Send(buf_.get() + start_ + count_ - len, len);
    if (bufferEpoch_ != epoch) return true;
  }

  if (DeliverLines() && LineActive()) CheckLineLimit();
  return true;
}

void TCustomLineWSocket::ReadIntoLineBuffer(int& len) {
  // The read offers the room the buffer has instead of asking the platform for its count first:
  // one call less, and a read that leaves room took all there was.
  Compact();  // so that positions in the held bytes are positions in the buffer (tab stops)
  if (size_ - count_ < kMinLineRead) Reserve(count_ + kMinLineRead);
  const int room = std::min(size_ - count_, kMaxLineRead);
  TFlagScope platform(platformRead_);
  len = Receive(buf_.get() + count_, room);
  if (len >= 0 && len < room) NoteReadDrained();
}

bool TCustomLineWSocket::DeliverLines() {
  const uint64_t epoch = bufferEpoch_;
  const uint32_t registration = Registration();
  const int endLen = static_cast<int>(lineEnd_.size());
  for (;;) {
    if (pending_ == 0) {
      if (!LineActive()) return true;
      std::string_view held(buf_.get() + start_, static_cast<size_t>(count_));
      size_t at = held.find(lineEnd_, static_cast<size_t>(scanFrom_));
      if (at == std::string_view::npos) {
        scanFrom_ = std::max({scanFrom_, count_ - endLen + 1, 0});
        return true;
      }
      scanFrom_ = static_cast<int>(at);
      pending_ = static_cast<int>(at) + endLen;
    }
    // pending_ drops to 0 when the line has been read whole or LineMode went off meanwhile.
    while (pending_ > 0) {
      int before = pending_;
      if (!TCustomTlsWSocket::DoDataAvailable(0)) {
        Consume(pending_);  // nobody listens: the line is dropped
        pending_ = 0;
        break;
      }
      if (bufferEpoch_ != epoch) return false;  // the handler closed the connection
      // A handler that reads nothing is asked again at once, unless it closed the handle or
      // reads once per report; then the line waits for the next read.
      if (pending_ == before && (Registration() != registration || (ComponentOptions & wsoNoReceiveLoop))) return true;
    }
  }
}

void TCustomLineWSocket::CheckLineLimit() {
  if (LineLimit <= 0 || count_ <= LineLimit) return;
  const uint64_t epoch = bufferEpoch_;
  clearData_ = true;
  try {
    DoLineLimitExceeded(count_, clearData_);
  } catch (...) {
    // A failing handler cannot keep the bytes: that would let one line grow without bound.
    if (bufferEpoch_ == epoch) ClearLineBuffer();
    clearData_ = false;
    throw;
  }
  if (bufferEpoch_ == epoch && clearData_) ClearLineBuffer();
  clearData_ = false;
}

void TCustomLineWSocket::DoLineLimitExceeded(int rcvdLength, bool& clearData) {
  if (OnLineLimitExceeded) OnLineLimitExceeded(this, rcvdLength, clearData);
}

void TCustomLineWSocket::DeliverBuffered() {
  if (count_ == 0) return;
  if (LineActive() || pending_ > 0) {
    // Only what is held is searched: nothing is read here, so this cannot spin on a tail
    // without a line end.
    if (DeliverLines() && LineActive()) CheckLineLimit();
    return;
  }
  OfferHeldRaw(true);
}

void TCustomLineWSocket::OfferHeldRaw(bool dropUnheard) {
  const uint64_t epoch = bufferEpoch_;
  while (count_ > 0) {
    int before = count_;
    if (!TCustomTlsWSocket::DoDataAvailable(0)) {
      if (dropUnheard) ClearLineBuffer();
      return;
    }
    if (bufferEpoch_ != epoch) return;
    if (LineActive()) return;  // switched back on: that switch posted its own delivery
    // A handler that takes nothing is offered the bytes again with the next read report.
    if (count_ == before) return;
  }
}

void TCustomLineWSocket::DoSessionClosed(uint16_t error) {
  if (buf_) {
    const uint64_t epoch = bufferEpoch_;
    try {
      if (!clearData_ && count_ > 0) {
        if (!lineMode_) {
          OfferHeldRaw(false);  // bytes left from line mode are the owner's as much as a line is
        } else if (DeliverLines() && count_ > 0 && lineMode_) {
          // The rest without a line end is offered as a last line.
          pending_ = count_;
          while (pending_ > 0) {
            int before = pending_;
            if (!TCustomTlsWSocket::DoDataAvailable(0)) break;
            if (bufferEpoch_ != epoch || pending_ == before) break;
          }
        }
      }
    } catch (const std::exception&) {
      // As in the read loop: a failing data handler must not cost the owner OnSessionClosed.
    }
    if (bufferEpoch_ == epoch) FreeLineBuffer();
  }
  TCustomTlsWSocket::DoSessionClosed(error);
}

void TCustomLineWSocket::EditLine(int& len) {
  // Bytes of a line being offered are not the peer's to erase.
  const int floor = pending_;
  char* held = buf_.get() + start_;
  int j = count_;       // write position
  int origin = count_;  // first position that rebuilt holds
  std::string rebuilt;  // the bytes from origin to j once anything changed
  bool rebuilding = false;
  std::string echo;

  for (int k = 0; k < len; ++k) {
    char c = held[count_ + k];
    if (!rebuilding && (c == kBackspace || c == kTab)) {
      rebuilding = true;
      rebuilt.assign(held + count_, static_cast<size_t>(j - count_));
    }
    if (c == kBackspace) {
      if (j > floor) {
        if (LineEcho) echo += "\b \b";
        if (j > origin) {
          rebuilt.pop_back();
        } else {
          origin = j - 1;  // erases a byte received earlier
        }
        --j;
      }
    } else if (c == kTab) {
      do {
        rebuilt += ' ';
        ++j;
        if (LineEcho) echo += ' ';
      } while (j % kTabWidth != 0);
    } else {
      if (rebuilding) rebuilt += c;
      ++j;
      if (LineEcho) echo += c;
    }
  }

  if (rebuilding) {
    Reserve(origin + static_cast<int>(rebuilt.size()));
    if (!rebuilt.empty()) std::memcpy(buf_.get() + start_ + origin, rebuilt.data(), rebuilt.size());
    count_ = origin;
    len = j - origin;
  }
  if (!echo.empty()) SendString(echo);
}

void TCustomLineWSocket::Reserve(int needed) {
  if (start_ + needed <= size_) return;
  if (needed <= size_) return Compact();
  // Doubling keeps a long line arriving in small reads linear; the cap keeps a flood bounded
  // by the limit plus one read.
  int64_t want = std::max<int64_t>({needed, int64_t{size_} * 2, 256});
  if (LineLimit > 0) want = std::min<int64_t>(want, std::max<int64_t>(needed, int64_t{LineLimit} + kMaxLineRead));
  auto grown = std::make_unique<char[]>(static_cast<size_t>(want));
  if (count_ > 0) std::memcpy(grown.get(), buf_.get() + start_, static_cast<size_t>(count_));
  buf_ = std::move(grown);
  size_ = static_cast<int>(want);
  start_ = 0;
}

void TCustomLineWSocket::Compact() {
  if (start_ == 0) return;
  if (count_ > 0) std::memmove(buf_.get(), buf_.get() + start_, static_cast<size_t>(count_));
  start_ = 0;
}

void TCustomLineWSocket::Consume(int n) {
  start_ += n;
  count_ -= n;
  scanFrom_ = std::max(0, scanFrom_ - n);
  if (count_ == 0) start_ = 0;
}

void TCustomLineWSocket::ClearLineBuffer() { start_ = count_ = pending_ = scanFrom_ = 0; }

void TCustomLineWSocket::FreeLineBuffer() {
  buf_.reset();
  size_ = 0;
  ClearLineBuffer();
  ++bufferEpoch_;
}

}  // namespace ordwin
