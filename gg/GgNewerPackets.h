// The packets that only the newer GG clients (8.0 and 11) send, read with every length, offset
// and number checked: each Read... returns false for a payload it cannot take whole, and never
// reads outside it. Results refer to the payload's bytes.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace ordwin {

// A login: the number, and the status and UTF-8 description the client starts with.
struct TGgLogin {
  int32_t Uin = 0;
  uint32_t Status = 0;
  std::string_view Description;
};

// Type 0x31 (8.0): number, language, hash, status, flags, addresses, version, description.
bool ReadLogin80(std::string_view payload, TGgLogin& out);
// Type 0x83 (11), protocol buffers: the number in field 2, status 8, description 9.
bool ReadLogin110(std::string_view payload, TGgLogin& out);

// Type 0x38: status, flags, length and UTF-8 description (a byte after it is not counted).
struct TGgNewStatus {
  uint32_t Status = 0;
  std::string_view Description;
};
bool ReadNewStatus80(std::string_view payload, TGgNewStatus& out);

// A message: the HTML part (UTF-8, may be empty), the plain part (Windows-1250 from 8.0, UTF-8
// from 11), each up to its first NUL, and the 8.0 formatting attributes.
struct TGgSentMessage {
  int32_t Recipient = 0;
  int32_t Sequence = 0;
  int32_t Class = 0;
  std::string_view Html;
  std::string_view Plain;
  std::string_view Attributes;
};
// Type 0x2d (8.0): recipient, sequence, class, offsets of the plain part and the attributes,
// then the HTML part from offset 20. An attribute offset of 0 means none.
bool ReadSendMsg80(std::string_view payload, TGgSentMessage& out);
// Type 0x7d (11), protocol buffers: recipient 1, class 2, sequence 3, plain 5, HTML 6.
bool ReadSendMsg110(std::string_view payload, TGgSentMessage& out);

// The recipient, sequence and class from the first bytes of a message too long to be read
// whole, 0x2d (8.0) or 0x7d (11); false when they are not all there.
bool ReadMessageHead80(std::string_view head, TGgSentMessage& out);
bool ReadMessageHead110(std::string_view head, TGgSentMessage& out);

// Types 0x77, 0x78, 0x7b and 0x7c (11): entries of a byte, the length of the number, its
// digits and the contact type. Appends the numbers to out.
bool ReadNotify110(std::string_view payload, std::vector<int32_t>& out);

// Type 0x59: the length of what is being typed (0 when it was dropped) and the other's number.
struct TGgTyping {
  uint16_t Length = 0;
  int32_t Uin = 0;
};
bool ReadTyping(std::string_view payload, TGgTyping& out);

// A GG number written in decimal: 1 to 10 digits, at most 4294967295, kept as its 32 bits.
bool ReadUinDigits(std::string_view digits, int32_t& uin);

}  // namespace ordwin
