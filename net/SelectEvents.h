// The readiness events a socket object asks for and receives, in Windows Sockets numbering,
// and the packing of the second argument of a socket notification.
#pragma once

#include <cstdint>

namespace ordwin {

constexpr uint32_t FD_READ = 1;
constexpr uint32_t FD_WRITE = 2;
constexpr uint32_t FD_OOB = 4;
constexpr uint32_t FD_ACCEPT = 8;
constexpr uint32_t FD_CONNECT = 16;
constexpr uint32_t FD_CLOSE = 32;

// Notification numbers of the socket object's endpoint.
constexpr uint32_t WM_ASYNCSELECT = 1025;
constexpr uint32_t WM_ASYNCGETHOSTBYNAME = 1026;
constexpr uint32_t WM_ASYNCGETHOSTBYADDR = 1027;
constexpr uint32_t WM_CLOSE_DELAYED = 1028;
constexpr uint32_t WM_WSOCKET_RELEASE = 1029;
constexpr uint32_t WM_TRIGGER_EXCEPTION = 1030;
// Delivered in the send phase of a turn's end to a connection that queued bytes for it.
constexpr uint32_t WM_SEND_AT_TURN_END = 1031;

constexpr intptr_t MakeSelectArg(uint32_t events, uint32_t error) {
  return static_cast<intptr_t>((error & 0xFFFFu) << 16 | (events & 0xFFFFu));
}
constexpr uint32_t SelectEvent(intptr_t arg) { return static_cast<uint32_t>(arg) & 0xFFFFu; }
constexpr uint16_t SelectError(intptr_t arg) {
  return static_cast<uint16_t>((static_cast<uint32_t>(arg) >> 16) & 0xFFFFu);
}

}  // namespace ordwin
