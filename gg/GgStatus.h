// The GG status codes (the low byte of a status word, as clients send them and the others are
// told of them), the bit a status word adds to them, and the other numbers packets carry: the
// class of a message and the status of a message acknowledgement.
#pragma once

#include <cstdint>

namespace ordwin::ggstatus {

constexpr uint32_t kNotAvailable = 0x01;
constexpr uint32_t kAvailable = 0x02;
constexpr uint32_t kBusy = 0x03;
constexpr uint32_t kAvailableWithText = 0x04;
constexpr uint32_t kBusyWithText = 0x05;
constexpr uint32_t kHidden = 0x14;
constexpr uint32_t kNotAvailableWithText = 0x15;
constexpr uint32_t kHiddenWithText = 0x16;
constexpr uint32_t kFreeForChat = 0x17;
constexpr uint32_t kFreeForChatWithText = 0x18;
constexpr uint32_t kDoNotDisturb = 0x21;
constexpr uint32_t kDoNotDisturbWithText = 0x22;

// Bit 15 of a status word: visible to friends only.
constexpr uint32_t kFriendsOnlyFlag = 0x8000;
// The code is the word's low byte; newer clients set flags above it (0x4000: has a description,
// 0x0100: an image), which change nothing the server decides.
constexpr uint32_t kStatusCodeMask = 0xFF;

// Message classes: what a 6.0 message (and one the server composes) is, and what a GG 11 client
// sends as a chat message.
constexpr int32_t kMessageClass = 4;
constexpr int32_t kChatClass = 8;

// The status of a message acknowledgement (type 5).
constexpr int32_t kAckNotDelivered = 1;
constexpr int32_t kAckDelivered = 2;
constexpr int32_t kAckQueued = 3;

}  // namespace ordwin::ggstatus
