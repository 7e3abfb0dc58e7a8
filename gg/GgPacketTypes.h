// The GG packet types the server reads and writes; one number may mean different things in the
// two directions, and in different dialects.
#pragma once

#include <cstdint>

namespace ordwin::ggpacket {

// Client to server, 6.0 (most of them also sent by 8.0 clients).
constexpr int32_t kNewStatus = 2;
constexpr int32_t kPing = 8;
constexpr int32_t kSendMsg = 11;
constexpr int32_t kAddNotify = 13;  // 8.0 only
constexpr int32_t kRemoveNotify = 14;
constexpr int32_t kNotifyFirst = 15;
constexpr int32_t kNotifyLast = 16;
constexpr int32_t kNotifyEmpty = 18;
constexpr int32_t kPubdirRequest = 20;
constexpr int32_t kLogin = 21;
constexpr int32_t kUserListRequest = 22;

// Client to server, 8.0 and 11.
constexpr int32_t kSendMsg80 = 0x2d;
constexpr int32_t kLogin80 = 0x31;
constexpr int32_t kNewStatus80 = 0x38;
constexpr int32_t kRecvMsgAck = 0x46;
constexpr int32_t kTypingNotify = 0x59;  // both directions
constexpr int32_t kNotify110First = 0x77;
constexpr int32_t kNotify110Last = 0x78;
constexpr int32_t kNotify110Empty = 0x79;
constexpr int32_t kAddNotify110 = 0x7b;
constexpr int32_t kRemoveNotify110 = 0x7c;
constexpr int32_t kSendMsg110 = 0x7d;
constexpr int32_t kLogin110 = 0x83;

// Server to client.
constexpr int32_t kWelcome = 1;
constexpr int32_t kLoginOk = 3;
constexpr int32_t kSendMsgAck = 5;
constexpr int32_t kRecvMsg = 10;
constexpr int32_t kStatusNotify = 15;
constexpr int32_t kUserListReply = 16;
constexpr int32_t kNotifyReply = 17;
// Server to client, newer dialects.
constexpr int32_t kDisconnectAck = 0x0d;
constexpr int32_t kRecvMsg80 = 0x2e;
constexpr int32_t kStatus80 = 0x36;
constexpr int32_t kNotifyReply80 = 0x37;

}  // namespace ordwin::ggpacket
