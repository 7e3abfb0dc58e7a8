// The GG packet types the server reads and writes; one number may mean different things in the
// two directions.
#pragma once

#include <cstdint>

namespace ordwin::ggpacket {

// Client to server.
constexpr int32_t kNewStatus = 2;
constexpr int32_t kPing = 8;
constexpr int32_t kSendMsg = 11;
constexpr int32_t kRemoveNotify = 14;
constexpr int32_t kNotifyFirst = 15;
constexpr int32_t kNotifyLast = 16;
constexpr int32_t kNotifyEmpty = 18;
constexpr int32_t kPubdirRequest = 20;
constexpr int32_t kLogin = 21;
constexpr int32_t kUserListRequest = 22;

// Server to client.
constexpr int32_t kWelcome = 1;
constexpr int32_t kLoginOk = 3;
constexpr int32_t kSendMsgAck = 5;
constexpr int32_t kRecvMsg = 10;
constexpr int32_t kStatusNotify = 15;
constexpr int32_t kUserListReply = 16;
constexpr int32_t kNotifyReply = 17;

}  // namespace ordwin::ggpacket
