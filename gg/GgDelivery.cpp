// What the GG session sends to other clients, each in the packets of its own dialect: status
// notifications and messages, converted between Windows-1250 and UTF-8 on the way.
#include "gg/GgSession.h"

#include <ctime>
#include <typeinfo>

#include "gg/Cp1250.h"
#include "gg/GgBytes.h"
#include "gg/GgHtml.h"
#include "gg/GgLogFormat.h"
#include "gg/GgPacketTypes.h"
#include "gg/GgStatus.h"

namespace ordwin {

namespace {

using namespace ggpacket;
using namespace ggstatus;

// The listener's clients are TGgClient objects: the exact type is checked first, and the full
// cast, a fifth of the work of a status announcement to each client, runs only for other types.
TGgClient* AsGgClient(TWSocketClient* client) {
  if (client != nullptr && typeid(*client) == typeid(TGgClient)) return static_cast<TGgClient*>(client);
  return dynamic_cast<TGgClient*>(client);
}

}  // namespace

void TGgSession::AnnounceStatus(TGgClient* sender, uint32_t code, std::string_view tail60,
                                std::string_view utf8Description) {
  int32_t uin = sender->Uin();
  // Each form is built once, when the first client of its dialect needs it.
  std::string old, newer;
  TWSocketServer& server = *riDuziva_->SocketServer();
  int count = server.CountClients();
  for (int i = 0; i < count; ++i) {
    TGgClient* client = AsGgClient(server.ClientAt(i));
    if (client == nullptr || client->Uin() == uin) continue;
    if (IsNewer(client->Dialect)) {
      if (newer.empty()) newer = Status80Payload(uin, code, utf8Description);
      SendPacket(client, kStatus80, newer);
    } else {
      if (old.empty()) old = StatusEntry(uin, code).append(tail60);
      SendPacket(client, kStatusNotify, old);
    }
  }
}

void TGgSession::PassMessage(TGgClient* sender, int32_t recipient, int32_t sequence, std::string_view cp1250Text,
                             std::string_view html, int32_t messageClass, std::string_view attributes) {
  int32_t uin = sender->Uin();
  Log(GG_CP1250("%d>wypowiedź dla %d o treści \"%s\""), uin, recipient, cp1250Text);
  auto ack = [&](int32_t status) {
    std::string payload;
    AppendLeBytes(payload, status);
    AppendLeBytes(payload, IsNewer(sender->Dialect) ? recipient : uin);
    AppendLeBytes(payload, sequence);
    return payload;
  };
  // "Delivered" only for a message that will reach the recipient's socket: one that would pass
  // the recipient's unsent bound is answered as for a recipient that is not there.
  if (TGgClient* found = FindClientByUin(recipient)) {
    TPacket message = MessagePacket(found, uin, cp1250Text, html, messageClass, attributes);
    size_t room = 8 + message.Payload.size() + (found == sender ? 8 + 12 : 0);
    if (found->SendQueueSize() + room <= kMaxUnsent) {
      SendPacket(sender, kSendMsgAck, ack(kAckDelivered));
      SendPacket(found, message.Type, message.Payload);
      found->NoteDeliveredMessage();
      return;
    }
  }
  SendPacket(sender, kSendMsgAck, ack(kAckNotDelivered));
  SendServerMessage(sender, GG_CP1250("Użytkownik gdzieś se poszedł. Wiadomość nie zostanie mu przekazana."));
}

TGgSession::TPacket TGgSession::MessagePacket(TGgClient* recipient, int32_t senderUin, std::string_view cp1250Text,
                                              std::string_view html, int32_t messageClass, std::string_view attributes) {
  if (!IsNewer(recipient->Dialect))
    return {kRecvMsg, ReceivedMessagePayload(senderUin, FreshSequence(), cp1250Text)};
  // The newer clients read the HTML part only: it is never sent empty.
  std::string made;
  if (html.empty()) html = made = TextToHtml(Cp1250ToUtf8(cp1250Text));
  int32_t now = static_cast<int32_t>(std::time(nullptr));
  return {kRecvMsg80, ReceivedMessage80Payload(senderUin, FreshSequence(), now, messageClass, html, cp1250Text, attributes)};
}

void TGgSession::DeliverMessage(TGgClient* recipient, int32_t senderUin, std::string_view cp1250Text,
                                std::string_view html, int32_t messageClass, std::string_view attributes) {
  TPacket message = MessagePacket(recipient, senderUin, cp1250Text, html, messageClass, attributes);
  SendPacket(recipient, message.Type, message.Payload);
}

void TGgSession::SendServerMessage(TGgClient* client, std::string_view cp1250Text) {
  DeliverMessage(client, 0, cp1250Text, {}, kMessageClass, {});
}

void TGgSession::AnnounceGone(TGgClient* client) {
  if (!client->LoggedIn || !IsShownOnline(client->Status)) return;
  Log(GG_CP1250("<użytkownik %d rozłączył się bez wylogowania"), client->Uin());
  AnnounceStatus(client, kNotAvailable, {}, {});
}

}  // namespace ordwin
