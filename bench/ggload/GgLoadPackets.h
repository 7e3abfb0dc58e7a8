// The GG packets the load generator writes, and its checks of the ones it reads. Every message
// text carries its sequence number, so that a lost, duplicated, reordered or altered message can
// be told from the text alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ordwin::bench {

constexpr size_t kHeader = 8;
// A message text: kSeqDigits digits of its sequence number first, kTextLength bytes in all.
constexpr size_t kTextLength = 64;
constexpr size_t kSeqDigits = 10;
// The head of a status notification (type 15, then the description) and of a 0x36 one.
constexpr size_t kNotifyHead = 14;
constexpr size_t kStatus80Head = 28;
// The head of a received 0x2e message, before its HTML part.
constexpr size_t kRecvMsg80Head = 24;

void PutLe(std::string& out, int32_t value);
inline int32_t GetLe(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
}
void PutHeader(std::string& out, int32_t type, size_t length);

// A login as a 6.0 client sends it (type 21, the number only) and as libgadu's GG 11 client does
// (0x83, hidden, so that log-ins tell nobody).
void PutLogin60(std::string& out, int32_t uin);
void PutLogin105(std::string& out, int32_t uin);
// A sequence number's kSeqDigits decimal digits, zeros in front, as the bytes of two words (the
// first eight, then the last two), made in registers: the five pairs of digits do not wait for
// each other, and a check reads no digits back from memory just written.
struct TSeqDigits {
  uint64_t First;
  uint64_t Last;
};
TSeqDigits SeqDigits(uint32_t seq);

// A 6.0 message is kSendMsg60Length bytes.
constexpr size_t kSendMsg60Length = kHeader + 12 + kTextLength + 1;

// The messages of one sender to one recipient. A text is the sequence number, " from ", the
// sender's number, a space, then letters that change with the sequence number, so that texts
// repeat but for their digits every kTextCycle messages: the cycle's 6.0 packets are made once,
// and a message is one of them with its sequence number written in, since texts are made and
// checked for every message.
class TMessageTexts {
public:
  static constexpr uint32_t kTextCycle = 26;

  TMessageTexts() = default;
  TMessageTexts(int32_t sender, int32_t recipient);
  // The kTextLength bytes of message seq.
  void Write(char* out, uint32_t seq) const;
  // Messages first to first + count - 1 as 6.0 packets (type 11, class 4, the text and a NUL),
  // count * kSendMsg60Length bytes at out.
  void PutSendMsg60(char* out, uint32_t first, uint32_t count) const;
  // Whether the kTextLength bytes at text are message seq's text. Remembers seq's digits, as
  // the next check is most often of seq + 1.
  bool Matches(const char* text, uint32_t seq);

private:
  static constexpr size_t kTextAt = kHeader + 12;

  const char* Cycled(uint32_t seq) const { return packets_.get() + seq % kTextCycle * kSendMsg60Length; }

  std::unique_ptr<char[]> packets_;
  // What a text is checked against, small enough to stay in the fastest cache: the sender's part
  // (" from ", its number, a space) in place and zeros around it, and the places of the letters.
  char sendersPart_[kTextLength] = {};
  char letterMask_[kTextLength] = {};
  uint32_t checkedSeq_ = 0;
  TSeqDigits checkedDigits_ = SeqDigits(0);
};

// Message seq as GG 11 sends it (0x7d, chat class, the text as plain and as HTML part).
void PutSendMsg110(std::string& out, int32_t to, uint32_t seq, const TMessageTexts& from);
// The receipt libgadu answers every received message with (0x46).
void PutRecvMsgAck(std::string& out, int32_t seq);
// A status change with the sequence number as its description: 6.0 (type 2), 8.0 (0x38).
void PutNewStatus60(std::string& out, uint32_t status, uint32_t seq);
void PutNewStatus80(std::string& out, uint32_t status, uint32_t seq);

// The sequence number a text or description starts with; false where there is none.
bool ParseSeq(const char* p, size_t len, uint32_t& seq);
// The text of a received message, or nullptr where the payload is not one this generator sent:
// type 10 (time 0, class 4, text, NUL) and 0x2e (chat class, "<span>text</span>", text, no
// formatting; the caller compares the HTML part's text).
const char* Text60(const char* p, size_t len);
const char* Text80(const char* p, size_t len);

}  // namespace ordwin::bench
