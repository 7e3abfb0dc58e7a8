#include "gg/GgServerPackets.h"

#include <cstring>

#include "gg/Cp1250.h"
#include "gg/GgBytes.h"
#include "gg/GgStatus.h"

namespace ordwin {

namespace {

using namespace ggstatus;

constexpr size_t kMaxDescription60 = 255;
constexpr size_t kStatus80Head = 28;
constexpr size_t kRecvMsg80Head = 24;

void PutU16(std::string& out, uint16_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8);
}

}  // namespace

uint32_t AnnouncedStatus(uint32_t word) {
  uint32_t code = word & kStatusCodeMask;
  if (code == kHidden) return kNotAvailable;
  if (code == kHiddenWithText) return kNotAvailableWithText;
  return code;
}

uint32_t NearestStatus60(uint32_t code) {
  switch (code & kStatusCodeMask) {
    case kFreeForChat:
      return kAvailable;
    case kFreeForChatWithText:
      return kAvailableWithText;
    case kDoNotDisturb:
      return kBusy;
    case kDoNotDisturbWithText:
      return kBusyWithText;
    default:
      return code & kStatusCodeMask;
  }
}

bool IsShownOnline(uint32_t word) {
  uint32_t code = AnnouncedStatus(word);
  return code != 0 && code != kNotAvailable && code != kNotAvailableWithText;
}

bool HasDescription(uint32_t code) {
  switch (code & 0xFF) {
    case kAvailableWithText:
    case kBusyWithText:
    case kNotAvailableWithText:
    case kHiddenWithText:
    case kFreeForChatWithText:
    case kDoNotDisturbWithText:
      return true;
    default:
      return false;
  }
}

std::string StatusEntry(int32_t uin, uint32_t code) {
  std::string entry = IntToLeBytes(uin);
  entry += static_cast<char>(code & 0xFFu);
  entry.append(9, '\0');
  return entry;
}

std::string ReplyEntry60(int32_t uin, uint32_t code, std::string_view cp1250Description) {
  std::string entry = StatusEntry(uin, code);
  if (HasDescription(code)) {
    std::string_view d = cp1250Description.substr(0, kMaxDescription60);
    entry += static_cast<char>(d.size());
    entry += d;
  }
  return entry;
}

size_t ReplyEntry60Length(std::string_view entries, size_t offset) {
  if (offset > entries.size() || entries.size() - offset < kStatusEntry) return 0;
  size_t length = kStatusEntry;
  if (HasDescription(static_cast<uint8_t>(entries[offset + 4]))) {
    if (entries.size() - offset == kStatusEntry) return 0;
    length += 1 + static_cast<uint8_t>(entries[offset + kStatusEntry]);
  }
  return length <= entries.size() - offset ? length : 0;
}

std::string Status80Payload(int32_t uin, uint32_t code, std::string_view utf8Description) {
  std::string_view d = CutUtf8(utf8Description, kMaxPayload - kStatus80Head);
  std::string payload;
  payload.reserve(kStatus80Head + d.size());
  payload += IntToLeBytes(uin);
  payload += IntToLeBytes(static_cast<int32_t>(code & 0xFFu));
  payload.append(4 + 4 + 2 + 1 + 1 + 4, '\0');  // features, address, port, image size, unknown, flags
  payload += IntToLeBytes(static_cast<int32_t>(d.size()));
  payload += d;
  return payload;
}

size_t Status80EntryLength(std::string_view entries, size_t offset) {
  if (offset > entries.size() || entries.size() - offset < kStatus80Head) return 0;
  uint32_t length = static_cast<uint32_t>(LeBytesToInt(entries, offset + kStatus80Head - 4));
  if (length > entries.size() - offset - kStatus80Head) return 0;
  return kStatus80Head + length;
}

bool FitsReceivedMessage80(std::string_view html) { return html.size() <= kMaxPayload - kRecvMsg80Head - 2; }

std::string ReceivedMessage80Payload(int32_t senderUin, int32_t sequence, int32_t time, int32_t messageClass,
                                     std::string_view html, std::string_view cp1250Plain, std::string_view attributes) {
  // What the sender wrote is never replaced: past the bound the attributes go (they describe
  // the plain part), then the plain part is cut; the HTML part goes whole or not at all.
  constexpr size_t kRoom = kMaxPayload - kRecvMsg80Head - 2;
  if (!FitsReceivedMessage80(html)) return {};
  if (html.size() + cp1250Plain.size() + attributes.size() > kRoom) {
    attributes = {};
    cp1250Plain = cp1250Plain.substr(0, kRoom - html.size());
  }
  int32_t plainAt = static_cast<int32_t>(kRecvMsg80Head + html.size() + 1);
  int32_t attrAt = static_cast<int32_t>(plainAt + cp1250Plain.size() + 1);
  std::string payload;
  payload.reserve(static_cast<size_t>(attrAt) + attributes.size());
  payload += IntToLeBytes(senderUin);
  payload += IntToLeBytes(sequence);
  payload += IntToLeBytes(time);
  payload += IntToLeBytes(messageClass);
  payload += IntToLeBytes(plainAt);
  payload += IntToLeBytes(attrAt);
  payload += html;
  payload += '\0';
  payload += cp1250Plain;
  payload += '\0';
  payload += attributes;
  return payload;
}

std::string TypingPayload(uint16_t length, int32_t uin) {
  std::string payload;
  PutU16(payload, length);
  payload += IntToLeBytes(uin);
  return payload;
}

}  // namespace ordwin
