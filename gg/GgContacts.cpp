// The contact packets of the GG session: notify lists (which numbers are connected now) and the
// contact list a client stores on the server for the life of its connection.
#include "gg/GgSession.h"

#include "gg/GgBytes.h"
#include "gg/GgLogFormat.h"
#include "gg/GgPacketTypes.h"

namespace ordwin {

namespace {

using namespace ggpacket;

constexpr size_t kNotifyEntry = 5;
constexpr size_t kReplyEntry = 14;
constexpr char kUserListGetReply = 6;

}  // namespace

void TGgSession::NotifyList(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  int32_t uin = Sender->Uin();
  switch (Type) {
    case kRemoveNotify:
      Log(GG_CP1250(">usunięcie śledzenia użytkownika"));
      return;
    case kNotifyFirst:
      NotifyListPart(Sender, Payload);
      Log(GG_CP1250("%d>kolejne pozycje listy kontaktów"), uin);
      return;
    case kNotifyLast:
      NotifyListPart(Sender, Payload);
      Log(GG_CP1250("%d>ostatnie pozycje listy kontaktów"), uin);
      SendPacket(Sender, kNotifyReply, Sender->NotifyReply);
      return;
    default:
      Log(GG_CP1250("%d>nie mam nikogo na liście kontaktów"), uin);
      return;
  }
}

// A trailing entry of fewer than 5 bytes is read like the others, its missing bytes as 0.
void TGgSession::NotifyListPart(TGgClient* Sender, const std::string& Payload) {
  std::string& reply = Sender->NotifyReply;
  for (size_t at = 0; at < Payload.size(); at += kNotifyEntry) {
    TGgClient* found = FindClientByUin(LeBytesToInt(Payload, at));
    if (found == nullptr) continue;
    if (reply.size() + kReplyEntry > kMaxNotifyReply) {
      Sender->Close();
      return;
    }
    reply += StatusEntry(found->Uin(), found->Status);
  }
}

void TGgSession::ContactListRequest(TGgClient* Sender, const std::string& Payload) {
  if (Payload.empty()) return;
  int32_t uin = Sender->Uin();
  std::string part = Payload.substr(1);
  switch (Payload[0]) {
    case 0:
      Log(GG_CP1250("%d>rozpoczęcie ustalenia listy użytkowników \"%s\""), uin, part);
      if (part.size() > kMaxUserList) {
        Sender->Close();
        return;
      }
      Sender->UserList = std::move(part);
      return;
    case 1:
      Log(GG_CP1250("%d>ustalenie kolejnej porcji listy użytkowników \"%s\""), uin, part);
      if (Sender->UserList.size() + part.size() > kMaxUserList) {
        Sender->Close();
        return;
      }
      Sender->UserList += part;
      return;
    case 2:
      Log(GG_CP1250("%d>pobranie listy użytkowników"), uin);
      SendPacket(Sender, kUserListReply, std::string(1, kUserListGetReply) + Sender->UserList);
      return;
    default:
      Log(GG_CP1250("%d>żądanie nieznanego typu do listy użytkowników"), uin);
      return;
  }
}

}  // namespace ordwin
