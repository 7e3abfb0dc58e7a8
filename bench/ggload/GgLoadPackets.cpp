#include "bench/ggload/GgLoadPackets.h"

#include <array>
#include <bit>
#include <cstring>

#include "gg/GgBytes.h"
#include "gg/GgPacketTypes.h"
#include "gg/GgStatus.h"

namespace ordwin::bench {

namespace {

using namespace ggpacket;
using namespace ggstatus;

constexpr size_t kRecvMsgLength = 16 + kTextLength + 1;

// ---- GG 11 packets: protocol-buffers fields ----

void PutVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

void PutField(std::string& out, int field, const std::string& bytes) {
  PutVarint(out, static_cast<uint64_t>(field) << 3 | 2);
  PutVarint(out, bytes.size());
  out += bytes;
}

// A number as the GG 11 packets write it: a flag byte, the length, the decimal digits.
std::string PackedUin(int32_t uin) {
  std::string digits = std::to_string(uin);
  return std::string(1, '\x01') + static_cast<char>(digits.size()) + digits;
}

void PutPacket(std::string& out, int32_t type, const std::string& payload) {
  PutHeader(out, type, payload.size());
  out += payload;
}

constexpr auto kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// seq in kSeqDigits decimal digits, zeros in front, two at a time.
char* PutSeqDigits(char* out, uint32_t seq) {
  static_assert(kSeqDigits % 2 == 0);
  for (size_t i = kSeqDigits; i > 0; i -= 2, seq /= 100) std::memcpy(out + i - 2, &kDigitPairs[2 * (seq % 100)], 2);
  return out + kSeqDigits;
}

uint64_t DigitPair(uint32_t twoDigits) {
  uint16_t pair;
  std::memcpy(&pair, &kDigitPairs[2 * twoDigits], 2);
  return pair;
}

// The digits of seq + 1, given seq's: nine times in ten only the last digit moves.
TSeqDigits NextSeqDigits(TSeqDigits d, uint32_t seq) {
  constexpr int kShift = std::endian::native == std::endian::little ? 8 : 48;  // the last digit's byte
  if ((d.Last >> kShift & 0xFF) == '9') return SeqDigits(seq + 1);
  d.Last += uint64_t{1} << kShift;
  return d;
}

void PutSeqDigits(char* out, TSeqDigits d) {
  std::memcpy(out, &d.First, 8);
  std::memcpy(out + 8, &d.Last, 2);
}

using TBytes16 = char __attribute__((vector_size(16)));
using TWords16 = uint64_t __attribute__((vector_size(16)));

TBytes16 Load16(const void* p) {
  TBytes16 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

void PutSeqDigits(std::string& out, uint32_t seq) {
  char digits[kSeqDigits];
  out.append(digits, PutSeqDigits(digits, seq));
}

char* PutDecimal(char* out, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  if (value < 0) {
    *out++ = '-';
    v = 0u - v;
  }
  char digits[10];
  size_t n = 0;
  do digits[n++] = static_cast<char>('0' + v % 10);
  while ((v /= 10) != 0);
  while (n > 0) *out++ = digits[--n];
  return out;
}

// The letters that fill a text, 'a' to 'z' over and over: a text's tail is one copy from here.
constexpr size_t kAlphabet = 26;
constexpr auto kLetterCycle = [] {
  std::array<char, kAlphabet + kTextLength> cycle{};
  for (size_t i = 0; i < cycle.size(); ++i) cycle[i] = static_cast<char>('a' + i % kAlphabet);
  return cycle;
}();

}  // namespace

TSeqDigits SeqDigits(uint32_t seq) {
  static_assert(kSeqDigits == 10);
  uint32_t low = seq % 100000000;
  TSeqDigits d{DigitPair(seq / 100000000) | DigitPair(low / 1000000) << 16 | DigitPair(low / 10000 % 100) << 32 |
                   DigitPair(low / 100 % 100) << 48,
               DigitPair(low % 100)};
  if constexpr (std::endian::native == std::endian::big) {
    d.First = __builtin_bswap64(d.First);
    d.Last = __builtin_bswap64(d.Last);
  }
  return d;
}

void PutLe(std::string& out, int32_t value) { AppendLeBytes(out, value); }

void PutHeader(std::string& out, int32_t type, size_t length) {
  PutLe(out, type);
  PutLe(out, static_cast<int32_t>(length));
}

void PutLogin60(std::string& out, int32_t uin) {
  PutHeader(out, kLogin, 4);
  PutLe(out, uin);
}

void PutLogin105(std::string& out, int32_t uin) {
  std::string p;
  PutField(p, 1, "pl");
  PutField(p, 2, PackedUin(uin));
  p += '\x45';  // field 8, fixed32: the status
  PutLe(p, static_cast<int32_t>(kHidden));
  PutField(p, 9, "");
  PutPacket(out, kLogin110, p);
}

void PutSendMsg110(std::string& out, int32_t to, uint32_t seq, const TMessageTexts& from) {
  char textBytes[kTextLength];
  from.Write(textBytes, seq);
  std::string text(textBytes, kTextLength);
  std::string p;
  PutField(p, 1, PackedUin(to));
  PutVarint(p, 2 << 3);
  PutVarint(p, kChatClass);
  PutVarint(p, 3 << 3);
  PutVarint(p, seq);
  PutField(p, 5, text);
  PutField(p, 6, "<span>" + text + "</span>");
  PutPacket(out, kSendMsg110, p);
}

void PutRecvMsgAck(std::string& out, int32_t seq) {
  PutHeader(out, kRecvMsgAck, 4);
  PutLe(out, seq);
}

void PutNewStatus60(std::string& out, uint32_t status, uint32_t seq) {
  PutHeader(out, kNewStatus, 4 + kSeqDigits);
  PutLe(out, static_cast<int32_t>(status));
  PutSeqDigits(out, seq);
}

void PutNewStatus80(std::string& out, uint32_t status, uint32_t seq) {
  PutHeader(out, kNewStatus80, 12 + kSeqDigits + 1);
  PutLe(out, static_cast<int32_t>(status));
  PutLe(out, 0x14);  // flags, and an uncounted byte after the description, as libgadu has them
  PutLe(out, static_cast<int32_t>(kSeqDigits));
  PutSeqDigits(out, seq);
  out += '\0';
}

// The sequence number first, then letters that change with it, so that a text moved to the
// wrong place or altered does not compare equal. Never a NUL: the server cuts the text at the
// first one.
TMessageTexts::TMessageTexts(int32_t sender, int32_t recipient)
    : packets_(std::make_unique<char[]>(kTextCycle * kSendMsg60Length)) {
  static_assert(kTextCycle == kAlphabet);
  char* from = sendersPart_ + kSeqDigits;
  std::memcpy(from, " from ", 6);
  char* end = PutDecimal(from + 6, sender);
  *end++ = ' ';
  size_t fromLength = static_cast<size_t>(end - from);
  size_t len = kSeqDigits + fromLength;
  std::memset(letterMask_ + len, 0xFF, kTextLength - len);
  for (uint32_t seq = 0; seq < kTextCycle; ++seq) {
    char* out = packets_.get() + seq * kSendMsg60Length;
    PutPacketHeader(out, kSendMsg, kSendMsg60Length - kHeader);
    PutLeBytes(out + 8, recipient);
    PutLeBytes(out + 12, static_cast<int32_t>(seq));
    PutLeBytes(out + 16, kMessageClass);
    char* text = PutSeqDigits(out + kTextAt, seq);
    std::memcpy(text, from, fromLength);
    std::memcpy(text + fromLength, kLetterCycle.data() + (seq + len) % kAlphabet, kTextLength - len);
    out[kSendMsg60Length - 1] = '\0';
  }
}

void TMessageTexts::Write(char* out, uint32_t seq) const {
  std::memcpy(out, Cycled(seq) + kTextAt, kTextLength);
  PutSeqDigits(out, SeqDigits(seq));
}

bool TMessageTexts::Matches(const char* text, uint32_t seq) {
  // The text due is its digits, the sender's part and the letters due where the mask has them,
  // put together and compared sixteen bytes at a time, without a branch.
  if (seq != checkedSeq_)
    checkedDigits_ = seq == checkedSeq_ + 1 ? NextSeqDigits(checkedDigits_, checkedSeq_) : SeqDigits(seq);
  checkedSeq_ = seq;
  // Put together in registers: read back from memory just written, the two words would wait.
  TBytes16 digits = reinterpret_cast<TBytes16>(TWords16{checkedDigits_.First, checkedDigits_.Last});
  const char* letters = kLetterCycle.data() + seq % kAlphabet;
  TBytes16 diff = Load16(text) ^ (digits | Load16(sendersPart_) | (Load16(letters) & Load16(letterMask_)));
  for (size_t at = 16; at < kTextLength; at += 16)
    diff |= Load16(text + at) ^ (Load16(sendersPart_ + at) | (Load16(letters + at) & Load16(letterMask_ + at)));
  uint64_t words[2];
  std::memcpy(words, &diff, sizeof(words));
  return (words[0] | words[1]) == 0;
}

void TMessageTexts::PutSendMsg60(char* out, uint32_t first, uint32_t count) const {
  TSeqDigits digits = SeqDigits(first);
  for (uint32_t seq = first; seq != first + count; ++seq, out += kSendMsg60Length) {
    std::memcpy(out, Cycled(seq), kSendMsg60Length);
    PutLeBytes(out + 12, static_cast<int32_t>(seq));
    PutSeqDigits(out + kTextAt, digits);
    digits = NextSeqDigits(digits, seq);
  }
}

bool ParseSeq(const char* p, size_t len, uint32_t& seq) {
  if (len < kSeqDigits) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < kSeqDigits; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + static_cast<uint64_t>(p[i] - '0');
  }
  if (v > UINT32_MAX) return false;
  seq = static_cast<uint32_t>(v);
  return true;
}

const char* Text60(const char* p, size_t len) {
  if (len != kRecvMsgLength || GetLe(p + 8) != 0 || GetLe(p + 12) != kMessageClass || p[16 + kTextLength] != '\0')
    return nullptr;
  return p + 16;
}

const char* Text80(const char* p, size_t len) {
  const size_t htmlLength = 6 + kTextLength + 7;
  const size_t plainAt = kRecvMsg80Head + htmlLength + 1;
  if (len != plainAt + kTextLength + 1 || GetLe(p + 12) != kChatClass ||
      GetLe(p + 16) != static_cast<int32_t>(plainAt) || GetLe(p + 20) != static_cast<int32_t>(len) ||
      std::memcmp(p + kRecvMsg80Head, "<span>", 6) != 0 ||
      std::memcmp(p + kRecvMsg80Head + 6 + kTextLength, "</span>", 8) != 0 || p[len - 1] != '\0')
    return nullptr;
  return p + plainAt;
}

}  // namespace ordwin::bench
