// What the GG session sends to other clients, each in the packets of its own dialect: status
// notifications and messages, converted between Windows-1250 and UTF-8 on the way.
#include "gg/GgSession.h"

#include <ctime>

#include "gg/Cp1250.h"
#include "gg/GgBytes.h"
#include "gg/GgHtml.h"
#include "gg/GgLogFormat.h"
#include "gg/GgPacketTypes.h"

namespace ordwin {

namespace {

using namespace ggpacket;

constexpr int32_t kAckDelivered = 2;
constexpr int32_t kAckNotDelivered = 1;
constexpr uint32_t kNotAvailable = 1;

}  // namespace

void TGgSession::AnnounceStatus(TGgClient* Sender, uint32_t Code, std::string_view Tail60,
                                std::string_view Utf8Description) {
  int32_t uin = Sender->Uin();
  // Each form is built once, when the first client of its dialect needs it.
  std::string old, newer;
  TWSocketServer& server = *riDuziva_->SocketServer();
  int count = server.CountClients();
  for (int i = 0; i < count; ++i) {
    auto* client = dynamic_cast<TGgClient*>(server.ClientAt(i));
    if (client == nullptr || client->Uin() == uin) continue;
    if (IsNewer(client->Dialect)) {
      if (newer.empty()) newer = Status80Payload(uin, Code, Utf8Description);
      SendPacket(client, kStatus80, newer);
    } else {
      if (old.empty()) old = StatusEntry(uin, Code).append(Tail60);
      SendPacket(client, kStatusNotify, old);
    }
  }
}

void TGgSession::PassMessage(TGgClient* Sender, int32_t Recipient, int32_t Sequence, std::string_view Cp1250Text,
                             std::string_view Html, int32_t Class, std::string_view Attributes) {
  int32_t uin = Sender->Uin();
  Log(GG_CP1250("%d>wypowiedź dla %d o treści \"%s\""), uin, Recipient, Cp1250Text);
  std::string ackTail = IntToLeBytes(IsNewer(Sender->Dialect) ? Recipient : uin) + IntToLeBytes(Sequence);
  // "Delivered" only for a message that will reach the recipient's socket: one that would pass
  // the recipient's unsent bound is answered as for a recipient that is not there.
  if (TGgClient* found = FindClientByUin(Recipient)) {
    TPacket message = MessagePacket(found, uin, Cp1250Text, Html, Class, Attributes);
    size_t room = 8 + message.Payload.size() + (found == Sender ? 8 + 4 + ackTail.size() : 0);
    if (found->SendQueueSize() + room <= kMaxUnsent) {
      SendPacket(Sender, kSendMsgAck, IntToLeBytes(kAckDelivered) + ackTail);
      SendPacket(found, message.Type, message.Payload);
      found->NoteDeliveredMessage();
      return;
    }
  }
  SendPacket(Sender, kSendMsgAck, IntToLeBytes(kAckNotDelivered) + ackTail);
  SendServerMessage(Sender, GG_CP1250("Użytkownik gdzieś se poszedł. Wiadomość nie zostanie mu przekazana."));
}

TGgSession::TPacket TGgSession::MessagePacket(TGgClient* Recipient, int32_t SenderUin, std::string_view Cp1250Text,
                                              std::string_view Html, int32_t Class, std::string_view Attributes) {
  if (!IsNewer(Recipient->Dialect))
    return {kRecvMsg, ReceivedMessagePayload(SenderUin, FreshSequence(), Cp1250Text)};
  // The newer clients read the HTML part only: it is never sent empty.
  std::string made;
  if (Html.empty()) Html = made = TextToHtml(Cp1250ToUtf8(Cp1250Text));
  int32_t now = static_cast<int32_t>(std::time(nullptr));
  return {kRecvMsg80, ReceivedMessage80Payload(SenderUin, FreshSequence(), now, Class, Html, Cp1250Text, Attributes)};
}

void TGgSession::DeliverMessage(TGgClient* Recipient, int32_t SenderUin, std::string_view Cp1250Text,
                                std::string_view Html, int32_t Class, std::string_view Attributes) {
  TPacket message = MessagePacket(Recipient, SenderUin, Cp1250Text, Html, Class, Attributes);
  SendPacket(Recipient, message.Type, message.Payload);
}

void TGgSession::SendServerMessage(TGgClient* Client, std::string_view Cp1250Text) {
  DeliverMessage(Client, 0, Cp1250Text, {}, kMessageClass, {});
}

void TGgSession::AnnounceGone(TGgClient* Client) {
  if (!Client->LoggedIn || !IsShownOnline(Client->Status)) return;
  Log(GG_CP1250("<użytkownik %d rozłączył się bez wylogowania"), Client->Uin());
  AnnounceStatus(Client, kNotAvailable, {}, {});
}

}  // namespace ordwin
