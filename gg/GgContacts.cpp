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
bool ReadNotifyNumbers(int32_t type, std::string_view payload, std::vector<int32_t>& numbers) {
  if (type == kNotifyFirst || type == kNotifyLast) {
    for (size_t at = 0; at < payload.size(); at += kNotifyEntry) numbers.push_back(LeBytesToInt(payload, at));
    return true;
  }
  if (type == kAddNotify) {
    TGgReader r(payload);
    numbers.push_back(static_cast<int32_t>(r.U32()));
    r.U8();
    return r.Ok();
  }
  return ReadNotify110(payload, numbers);
}

// A connected contact's notify-reply entry in the recipient's dialect. A 6.0 entry reports the
// low byte of the stored word, hidden included, a status 6.0 does not know as its nearest; the
// newer dialects are told what the status notifications told them.
std::string NotifyEntryFor(const TGgClient* recipient, const TGgClient* contact) {
  if (IsNewer(recipient->Dialect))
    return Status80Payload(contact->Uin(), AnnouncedStatus(contact->Status),
                           TextFor(gdGg80, contact->Description, contact->DescriptionIsUtf8));
  uint32_t code = NearestStatus60(contact->Status);
  if (!HasDescription(code)) return StatusEntry(contact->Uin(), code);
  return ReplyEntry60(contact->Uin(), code, TextFor(gdGg60, contact->Description, contact->DescriptionIsUtf8));
}

}  // namespace

void TGgSession::NotifyList(TGgClient* sender, int32_t type, std::string_view payload) {
  int32_t uin = sender->Uin();
  switch (type) {
    case kRemoveNotify:
      Log(GG_CP1250(">usunięcie śledzenia użytkownika"));
      return;
    case kNotifyFirst:
    case kNotify110First:
      if (!NotifyListPart(sender, type, payload)) return;
      Log(GG_CP1250("%d>kolejne pozycje listy kontaktów"), uin);
      return;
    case kNotifyLast:
    case kNotify110Last:
      if (!NotifyListPart(sender, type, payload)) return;
      Log(GG_CP1250("%d>ostatnie pozycje listy kontaktów"), uin);
      SendNotifyReply(sender, sender->NotifyReply);
      // A 6.0 reply keeps growing until the next login; a newer client is answered each list
      // with that list's contacts only, as they are now.
      if (IsNewer(sender->Dialect)) sender->NotifyReply.clear();
      return;
    default:
      Log(GG_CP1250("%d>nie mam nikogo na liście kontaktów"), uin);
      return;
  }
}

void TGgSession::NotifyChange(TGgClient* sender, int32_t type, std::string_view payload) {
  std::vector<int32_t> numbers;
  if (!ReadNotifyNumbers(type, payload, numbers)) return Reject(sender, type, payload);
  int32_t uin = sender->Uin();
  for (int32_t number : numbers) {
    if (type == kRemoveNotify110) {
      Log(GG_CP1250("%d>usunięcie śledzenia użytkownika %d"), uin, number);
      continue;
    }
    Log(GG_CP1250("%d>dodanie śledzenia użytkownika %d"), uin, number);
    if (TGgClient* found = FindClientByUin(number)) SendNotifyReply(sender, NotifyEntryFor(sender, found));
  }
}

bool TGgSession::NotifyListPart(TGgClient* sender, int32_t type, std::string_view payload) {
  std::vector<int32_t> numbers;
  if (!ReadNotifyNumbers(type, payload, numbers)) {
    Reject(sender, type, payload);
    return false;
  }
  for (int32_t number : numbers) {
    TGgClient* found = FindClientByUin(number);
    if (found != nullptr && !AddNotifyEntry(sender, found)) break;
  }
  return true;
}

bool TGgSession::AddNotifyEntry(TGgClient* sender, const TGgClient* contact) {
  std::string entry = NotifyEntryFor(sender, contact);
  if (sender->NotifyReply.size() + entry.size() > (sender->LoggedIn ? kMaxNotifyReply : kMaxHeldBeforeLogin)) {
    sender->Close();
    return false;
  }
  sender->NotifyReply += entry;
  return true;
}

void TGgSession::SendNotifyReply(TGgClient* client, const std::string& entries) {
  bool newer = IsNewer(client->Dialect);
  auto entryLength = newer ? Status80EntryLength : ReplyEntry60Length;
  // Whole entries, as many as fit in each packet; an empty reply is one empty packet.
  size_t start = 0;
  for (;;) {
    size_t end = start;
    while (size_t length = entryLength(entries, end)) {
      if (end > start && end - start + length > kMaxPayload) break;
      end += length;
    }
    SendPacket(client, newer ? kNotifyReply80 : kNotifyReply, std::string_view(entries).substr(start, end - start));
    if (end == start || end >= entries.size()) return;
    start = end;
  }
}

void TGgSession::ContactListRequest(TGgClient* sender, int32_t, std::string_view payload) {
  if (payload.empty()) return;
  int32_t uin = sender->Uin();
  bool newer = IsNewer(sender->Dialect);
  std::string part(payload.substr(1));
  // The log is Windows-1250: a newer client's list is UTF-8 text.
  std::string converted = newer && payload[0] <= 1 ? Utf8ToCp1250(part) : std::string();
  const std::string& logged = newer ? converted : part;
  switch (payload[0]) {
    case 0:
    case 1: {
      bool first = payload[0] == 0;
      Log(first ? GG_CP1250("%d>rozpoczęcie ustalenia listy użytkowników \"%s\"")
                : GG_CP1250("%d>ustalenie kolejnej porcji listy użytkowników \"%s\""),
          uin, logged);
      // Nothing is held for a connection that has not logged in: it could hold memory for nothing.
      if (!sender->LoggedIn) {
        Log(GG_CP1250("<lista użytkowników przed zalogowaniem nie jest przechowywana"));
        return;
      }
      if ((first ? 0 : sender->UserList.size()) + part.size() > kMaxUserList) {
        sender->Close();
        return;
      }
      if (first)
        sender->UserList = std::move(part);
      else
        sender->UserList += part;
      if (newer) SendPacket(sender, kUserListReply, std::string(1, first ? kUserListPutReply : kUserListPutMoreReply));
      return;
    }
    case 2:
      Log(GG_CP1250("%d>pobranie listy użytkowników"), uin);
      SendContactList(sender);
      return;
    default:
      Log(GG_CP1250("%d>żądanie nieznanego typu do listy użytkowników"), uin);
      return;
  }
}

void TGgSession::SendContactList(TGgClient* client) {
  const std::string& list = client->UserList;
  // No packet passes the bound: leading parts, then the last with 6.
  const size_t partLength = kMaxPayload - 1;
  size_t at = 0;
  for (; list.size() - at > partLength; at += partLength)
    SendPacket(client, kUserListReply, kUserListGetMoreReply + list.substr(at, partLength));
  SendPacket(client, kUserListReply, kUserListGetReply + list.substr(at));
}

}  // namespace ordwin
