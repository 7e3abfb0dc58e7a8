// The payloads the server sends, in the 6.0 layouts and in the 8.0 layouts that the newer clients
// read (UTF-8 texts). A libgadu client drops its session on a payload past kMaxPayload, and a
// newer client counts as 6.0 until its login is read, so no payload of any dialect passes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "gg/GgBytes.h"
#include "gg/GgStatus.h"
#include "gg/Random.h"

namespace ordwin {

constexpr size_t kMaxPayload = 65535;

// A fresh sequence number or welcome seed from the program's generator: 0 to 2147483646.
inline int32_t FreshSequence() { return Random(2147483647); }

// The status code the others are told of: the word's low byte (flags above it dropped), hidden
// (with or without a text) as not available.
uint32_t AnnouncedStatus(uint32_t word);
// The code a 6.0 client is told of for one it does not know: free for chat as available, do not
// disturb as busy, each with or without a description. Other codes stay (their low byte).
uint32_t NearestStatus60(uint32_t code);
// Whether the others see a client with this status word as there: not before it told one (0),
// not when it is not available (with or without a text, and hidden, which is announced as that).
bool IsShownOnline(uint32_t word);
// Whether a status code (its low byte) is one of the states that carry a description.
bool HasDescription(uint32_t code);

// The 14-byte head of a status notification (type 15): the number, the low byte of the status,
// nine zero bytes.
constexpr size_t kStatusEntry = 14;
std::string StatusEntry(int32_t uin, uint32_t code);
// One entry of a 6.0 notify reply (type 17): StatusEntry, then, for a code that carries a
// description, its length byte and the Windows-1250 description (at most 255 bytes of it).
std::string ReplyEntry60(int32_t uin, uint32_t code, std::string_view cp1250Description);
// The length of the type-17 entry that starts at offset of entries, or 0 when none fits there.
size_t ReplyEntry60Length(std::string_view entries, size_t offset);
// Writes the received-message payload (type 10) at out, where ReceivedMessagePayloadLength(
// text.size()) bytes are free: sender, sequence, time (0 for a message passed on at once), class
// 4, text, NUL. Inline: every message passed on to a 6.0 client is written here.
constexpr size_t ReceivedMessagePayloadLength(size_t textLength) { return 16 + textLength + 1; }
inline void PutReceivedMessagePayload(char* out, int32_t senderUin, int32_t sequence, std::string_view text,
                                      int32_t time) {
  PutLeBytes(out, senderUin);
  PutLeBytes(out + 4, sequence);
  PutLeBytes(out + 8, time);
  PutLeBytes(out + 12, ggstatus::kMessageClass);
  if (!text.empty()) std::memcpy(out + 16, text.data(), text.size());
  out[16 + text.size()] = '\0';
}

// A status notification (0x36), also one entry of a notify reply (0x37): number, status, zero
// features, address, port, image size and flags, then the UTF-8 description with its length
// (cut at a character to fit the payload bound).
std::string Status80Payload(int32_t uin, uint32_t code, std::string_view utf8Description);
// The length of the 0x36 entry that starts at offset of entries, or 0 when none fits there.
size_t Status80EntryLength(std::string_view entries, size_t offset);
// Whether an HTML part this long goes whole in a received message (0x2e).
bool FitsReceivedMessage80(std::string_view html);
// A received message (0x2e): sender, sequence, time, class, the offsets of the plain part and
// the attributes, then the UTF-8 HTML part, the Windows-1250 plain part (each with its NUL) and
// the attributes. Past the payload bound the attributes go, then the plain part is cut short;
// empty when the HTML part alone cannot fit.
std::string ReceivedMessage80Payload(int32_t senderUin, int32_t sequence, int32_t time, int32_t messageClass,
                                     std::string_view html, std::string_view cp1250Plain, std::string_view attributes);
// A typing notification (0x59): the length typed, the other's number.
std::string TypingPayload(uint16_t length, int32_t uin);

}  // namespace ordwin
