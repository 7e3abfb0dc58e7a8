// The contact packets of the GG session: notify lists (which numbers are connected now) and the
// contact list a client stores on the server for the life of its connection.
#include "gg/GgSession.h"

#include <vector>

#include "gg/Cp1250.h"
#include "gg/GgBytes.h"
#include "gg/GgLogFormat.h"
#include "gg/GgNewerPackets.h"
#include "gg/GgPacketTypes.h"
#include "gg/GgReader.h"

namespace ordwin {

namespace {

using namespace ggpacket;

constexpr size_t kNotifyEntry = 5;
constexpr char kUserListPutReply = 0;
constexpr char kUserListPutMoreReply = 2;
constexpr char kUserListGetMoreReply = 4;
constexpr char kUserListGetReply = 6;

// The numbers a notify packet names. The 6.0 parts (15, 16) hold 5-byte entries, a trailing
// short one read with its missing bytes as 0; an 8.0 add (13) holds one whole entry; the 11
// packets hold entries of digits.
bool ReadNotifyNumbers(int32_t Type, std::string_view Payload, std::vector<int32_t>& Numbers) {
  if (Type == kNotifyFirst || Type == kNotifyLast) {
    for (size_t at = 0; at < Payload.size(); at += kNotifyEntry) Numbers.push_back(LeBytesToInt(Payload, at));
    return true;
  }
  if (Type == kAddNotify) {
    TGgReader r(Payload);
    Numbers.push_back(static_cast<int32_t>(r.U32()));
    r.U8();
    return r.Ok();
  }
  return ReadNotify105(Payload, Numbers);
}

// A connected contact's notify-reply entry in the recipient's dialect. A 6.0 entry reports the
// low byte of the stored word, hidden included; the newer dialects are told what the status
// notifications told them.
std::string NotifyEntryFor(const TGgClient* Recipient, const TGgClient* Contact) {
  if (IsNewer(Recipient->Dialect))
    return Status80Payload(Contact->Uin(), AnnouncedStatus(Contact->Status),
                           TextFor(gdGg80, Contact->Description, Contact->DescriptionIsUtf8));
  if (!HasDescription(Contact->Status)) return StatusEntry(Contact->Uin(), Contact->Status);
  return ReplyEntry60(Contact->Uin(), Contact->Status,
                       TextFor(gdGg60, Contact->Description, Contact->DescriptionIsUtf8));
}

}  // namespace

void TGgSession::NotifyList(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  int32_t uin = Sender->Uin();
  switch (Type) {
    case kRemoveNotify:
      Log(GG_CP1250(">usunięcie śledzenia użytkownika"));
      return;
    case kNotifyFirst:
    case kNotify105First:
      if (!NotifyListPart(Sender, Type, Payload)) return;
      Log(GG_CP1250("%d>kolejne pozycje listy kontaktów"), uin);
      return;
    case kNotifyLast:
    case kNotify105Last:
      if (!NotifyListPart(Sender, Type, Payload)) return;
      Log(GG_CP1250("%d>ostatnie pozycje listy kontaktów"), uin);
      SendNotifyReply(Sender, Sender->NotifyReply);
      return;
    default:
      Log(GG_CP1250("%d>nie mam nikogo na liście kontaktów"), uin);
      return;
  }
}

void TGgSession::NotifyChange(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  std::vector<int32_t> numbers;
  if (!ReadNotifyNumbers(Type, Payload, numbers)) return Reject(Sender, Type, Payload);
  int32_t uin = Sender->Uin();
  for (int32_t number : numbers) {
    if (Type == kRemoveNotify105) {
      Log(GG_CP1250("%d>usunięcie śledzenia użytkownika %d"), uin, number);
      continue;
    }
    Log(GG_CP1250("%d>dodanie śledzenia użytkownika %d"), uin, number);
    if (TGgClient* found = FindClientByUin(number)) SendNotifyReply(Sender, NotifyEntryFor(Sender, found));
  }
}

bool TGgSession::NotifyListPart(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  std::vector<int32_t> numbers;
  if (!ReadNotifyNumbers(Type, Payload, numbers)) {
    Reject(Sender, Type, Payload);
    return false;
  }
  for (int32_t number : numbers) {
    TGgClient* found = FindClientByUin(number);
    if (found != nullptr && !AddNotifyEntry(Sender, found)) break;
  }
  return true;
}

bool TGgSession::AddNotifyEntry(TGgClient* Sender, const TGgClient* Contact) {
  std::string entry = NotifyEntryFor(Sender, Contact);
  if (Sender->NotifyReply.size() + entry.size() > kMaxNotifyReply) {
    Sender->Close();
    return false;
  }
  Sender->NotifyReply += entry;
  return true;
}

void TGgSession::SendNotifyReply(TGgClient* Client, const std::string& Entries) {
  if (!IsNewer(Client->Dialect)) {
    SendPacket(Client, kNotifyReply, Entries);
    return;
  }
  // Whole entries, as many as fit in each packet; an empty reply is one empty packet.
  size_t start = 0;
  for (;;) {
    size_t end = start;
    while (size_t length = Status80EntryLength(Entries, end)) {
      if (end > start && end - start + length > kMaxNewerPayload) break;
      end += length;
    }
    SendPacket(Client, kNotifyReply80, Entries.substr(start, end - start));
    if (end == start || end >= Entries.size()) return;
    start = end;
  }
}

void TGgSession::ContactListRequest(TGgClient* Sender, int32_t, const std::string& Payload) {
  if (Payload.empty()) return;
  int32_t uin = Sender->Uin();
  bool newer = IsNewer(Sender->Dialect);
  std::string part = Payload.substr(1);
  // The log is Windows-1250: a newer client's list is UTF-8 text.
  std::string converted = newer && Payload[0] <= 1 ? Utf8ToCp1250(part) : std::string();
  const std::string& logged = newer ? converted : part;
  switch (Payload[0]) {
    case 0:
      Log(GG_CP1250("%d>rozpoczęcie ustalenia listy użytkowników \"%s\""), uin, logged);
      if (part.size() > kMaxUserList) {
        Sender->Close();
        return;
      }
      Sender->UserList = std::move(part);
      if (newer) SendPacket(Sender, kUserListReply, std::string(1, kUserListPutReply));
      return;
    case 1:
      Log(GG_CP1250("%d>ustalenie kolejnej porcji listy użytkowników \"%s\""), uin, logged);
      if (Sender->UserList.size() + part.size() > kMaxUserList) {
        Sender->Close();
        return;
      }
      Sender->UserList += part;
      if (newer) SendPacket(Sender, kUserListReply, std::string(1, kUserListPutMoreReply));
      return;
    case 2:
      Log(GG_CP1250("%d>pobranie listy użytkowników"), uin);
      SendContactList(Sender);
      return;
    default:
      Log(GG_CP1250("%d>żądanie nieznanego typu do listy użytkowników"), uin);
      return;
  }
}

void TGgSession::SendContactList(TGgClient* Client) {
  const std::string& list = Client->UserList;
  if (!IsNewer(Client->Dialect)) {
    SendPacket(Client, kUserListReply, std::string(1, kUserListGetReply) + list);
    return;
  }
  // A newer client takes no packet past its bound: leading parts, then the last with 6.
  const size_t partLength = kMaxNewerPayload - 1;
  size_t at = 0;
  for (; list.size() - at > partLength; at += partLength)
    SendPacket(Client, kUserListReply, kUserListGetMoreReply + list.substr(at, partLength));
  SendPacket(Client, kUserListReply, kUserListGetReply + list.substr(at));
}

}  // namespace ordwin
