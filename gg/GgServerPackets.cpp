#include "gg/GgServerPackets.h"

#include <algorithm>

#include "gg/Cp1250.h"
#include "gg/GgBytes.h"
#include "gg/GgHtml.h"
#include "gg/Random.h"

namespace ordwin {

namespace {

constexpr size_t kMaxDescription60 = 255;
constexpr size_t kStatus80Head = 28;
constexpr size_t kRecvMsg80Head = 24;
// A plain part this long stays within the bound as HTML too (at most 6 bytes per byte, "&quot;").
constexpr size_t kFittingPlain = (kMaxNewerPayload - kRecvMsg80Head - 2 - 13) / 7;

void PutU16(std::string& Out, uint16_t Value) {
  Out += static_cast<char>(Value & 0xFF);
  Out += static_cast<char>(Value >> 8);
}

}  // namespace

int32_t FreshSequence() { return Random(2147483647); }

uint32_t AnnouncedStatus(uint32_t Word) {
  uint32_t code = Word & ~kFriendsOnlyFlag;
  if (code == 20) return 1;
  if (code == 22) return 21;
  return code;
}

bool IsShownOnline(uint32_t Word) {
  uint32_t code = AnnouncedStatus(Word);
  return code != 0 && code != 1 && code != 21;
}

bool HasDescription(uint32_t Code) {
  switch (Code & 0xFF) {
    case 0x04:  // available
    case 0x05:  // busy
    case 0x15:  // not available
    case 0x16:  // hidden
    case 0x18:  // free for chat
    case 0x22:  // do not disturb
      return true;
    default:
      return false;
  }
}

std::string StatusEntry(int32_t Uin, uint32_t Code) {
  std::string entry = IntToLeBytes(Uin);
  entry += static_cast<char>(Code & 0xFFu);
  entry.append(9, '\0');
  return entry;
}

std::string ReplyEntry60(int32_t Uin, uint32_t Code, std::string_view Cp1250Description) {
  std::string entry = StatusEntry(Uin, Code);
  if (HasDescription(Code)) {
    std::string_view d = Cp1250Description.substr(0, kMaxDescription60);
    entry += static_cast<char>(d.size());
    entry += d;
  }
  return entry;
}

std::string ReceivedMessagePayload(int32_t SenderUin, int32_t Sequence, std::string_view Text) {
  std::string payload;
  payload.reserve(16 + Text.size() + 1);
  payload += IntToLeBytes(SenderUin);
  payload += IntToLeBytes(Sequence);
  payload += IntToLeBytes(0);
  payload += IntToLeBytes(kMessageClass);
  payload += Text;
  payload += '\0';
  return payload;
}

std::string Status80Payload(int32_t Uin, uint32_t Code, std::string_view Utf8Description) {
  std::string_view d = CutUtf8(Utf8Description, kMaxNewerPayload - kStatus80Head);
  std::string payload;
  payload.reserve(kStatus80Head + d.size());
  payload += IntToLeBytes(Uin);
  payload += IntToLeBytes(static_cast<int32_t>(Code & 0xFFu));
  payload.append(4 + 4 + 2 + 1 + 1 + 4, '\0');  // features, address, port, image size, unknown, flags
  payload += IntToLeBytes(static_cast<int32_t>(d.size()));
  payload += d;
  return payload;
}

size_t Status80EntryLength(std::string_view Entries, size_t Offset) {
  if (Offset > Entries.size() || Entries.size() - Offset < kStatus80Head) return 0;
  uint32_t length = static_cast<uint32_t>(LeBytesToInt(Entries, Offset + kStatus80Head - 4));
  if (length > Entries.size() - Offset - kStatus80Head) return 0;
  return kStatus80Head + length;
}

std::string ReceivedMessage80Payload(int32_t SenderUin, int32_t Sequence, int32_t Time, int32_t Class,
                                     std::string_view Html, std::string_view Cp1250Plain, std::string_view Attributes) {
  std::string rebuilt;
  if (kRecvMsg80Head + Html.size() + Cp1250Plain.size() + 2 + Attributes.size() > kMaxNewerPayload) {
    Attributes = {};
    if (kRecvMsg80Head + Html.size() + Cp1250Plain.size() + 2 > kMaxNewerPayload) {
      Cp1250Plain = Cp1250Plain.substr(0, kFittingPlain);
      rebuilt = TextToHtml(Cp1250ToUtf8(Cp1250Plain));
      Html = rebuilt;
    }
  }
  int32_t plainAt = static_cast<int32_t>(kRecvMsg80Head + Html.size() + 1);
  int32_t attrAt = static_cast<int32_t>(plainAt + Cp1250Plain.size() + 1);
  std::string payload;
  payload.reserve(static_cast<size_t>(attrAt) + Attributes.size());
  payload += IntToLeBytes(SenderUin);
  payload += IntToLeBytes(Sequence);
  payload += IntToLeBytes(Time);
  payload += IntToLeBytes(Class);
  payload += IntToLeBytes(plainAt);
  payload += IntToLeBytes(attrAt);
  payload += Html;
  payload += '\0';
  payload += Cp1250Plain;
  payload += '\0';
  payload += Attributes;
  return payload;
}

std::string TypingPayload(uint16_t Length, int32_t Uin) {
  std::string payload;
  PutU16(payload, Length);
  payload += IntToLeBytes(Uin);
  return payload;
}

}  // namespace ordwin
