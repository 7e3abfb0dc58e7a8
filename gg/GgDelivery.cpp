// What the GG session sends to other clients, each in the packets of its own dialect: status
// notifications and messages, converted between Windows-1250 and UTF-8 on the way.
#include "gg/GgSession.h"

#include <ctime>

#include "gg/Cp1250.h"
#include "gg/GgBytes.h"
#include "gg/GgHtml.h"
#include "gg/GgLogFormat.h"
#include "gg/GgPacketTypes.h"
#include "gg/GgStatus.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

using namespace ggpacket;
using namespace ggstatus;

// The room a message packet keeps between messages; a longer one gives its room back.
constexpr size_t kKeptMessageRoom = 4096;
constexpr size_t kAckLength = 12;

std::string WholePacket(int32_t type, std::string_view payload) {
  std::string packet(kPacketHeader, '\0');
  PutPacketHeader(packet.data(), type, payload.size());
  return packet.append(payload);
}

}  // namespace

void TGgSession::AnnounceStatus(TGgClient* sender, uint32_t code, std::string_view tail60,
                                std::string_view utf8Description) {
  int32_t uin = sender->Uin();
  // Each form is put together once, header and all, when the first client of its dialect needs
  // it: what is left per client is the copy into its queue.
  std::string old, newer;
  riDuziva_->ClientIndex().ForAll([&](TGgClient* client) {
    if (client->Uin() == uin) return;
    if (IsNewer(client->Dialect)) {
      if (newer.empty()) newer = WholePacket(kStatus80, Status80Payload(uin, code, utf8Description));
      QueuePacket(client, newer);
    } else {
      if (old.empty())
        old = WholePacket(kStatusNotify,
                          StatusEntry(uin, NearestStatus60(code)).append(tail60.substr(0, kMaxPayload - kStatusEntry)));
      QueuePacket(client, old);
    }
  });
}

void TGgSession::PassMessage(TGgClient* sender, int32_t recipient, int32_t sequence, const TMessageBody& body) {
  int32_t uin = sender->Uin();
  log_(messageLine_.Make(uin, recipient, body.Cp1250Text), messageLine_.HeadLength());
  // "Delivered" only for a message that will reach the recipient's socket: one that would pass
  // the recipient's unsent bound is answered as for a recipient that is not there.
  if (TGgClient* found = FindClientByUin(recipient)) {
    if (!MakeMessagePacket(found, uin, body)) {
      Log(GG_CP1250("<wypowiedź zbyt długa, nie przekazano"));
      return Acknowledge(sender, recipient, sequence, kAckNotDelivered);
    }
    size_t room = message_.size() + (found == sender ? kPacketHeader + kAckLength : 0);
    if (found->SendFits(room)) {
      Acknowledge(sender, recipient, sequence, kAckDelivered);
      QueuePacket(found, message_);
      found->NoteDeliveredMessage();
      return;
    }
  }
  // A number with no connection at all may have its messages kept for its next log-in.
  if (FindClientByUin(recipient) == nullptr && KeepMessage(sender, recipient, body))
    return Acknowledge(sender, recipient, sequence, kAckQueued);
  Acknowledge(sender, recipient, sequence, kAckNotDelivered);
  SendServerMessage(sender, GG_CP1250("Użytkownik gdzieś se poszedł. Wiadomość nie zostanie mu przekazana."));
}

void TGgSession::Acknowledge(TGgClient* sender, int32_t recipient, int32_t sequence, int32_t status) {
  // Put together whole here, header and all: every message is answered with one.
  char ack[kPacketHeader + kAckLength];
  PutPacketHeader(ack, kSendMsgAck, kAckLength);
  PutLeBytes(ack + kPacketHeader, status);
  PutLeBytes(ack + kPacketHeader + 4, IsNewer(sender->Dialect) ? recipient : sender->Uin());
  PutLeBytes(ack + kPacketHeader + 8, sequence);
  QueuePacket(sender, std::string_view(ack, sizeof(ack)));
}

bool TGgSession::MakeMessagePacket(TGgClient* recipient, int32_t senderUin, const TMessageBody& body, int64_t time) {
  if (IsNewer(recipient->Dialect)) {
    if (!MakeMessagePacket80(senderUin, body, time)) return false;
  } else {
    int32_t sequence = FreshSequence();
    size_t payloadLength = ReceivedMessagePayloadLength(body.Cp1250Text.size());
    if (payloadLength > kMaxPayload) return false;
    // Resized, not emptied first: the packet before it was about as long, so that next to
    // nothing is zero-filled before it is written.
    message_.resize(kPacketHeader + payloadLength);
    PutReceivedMessagePayload(message_.data() + kPacketHeader, senderUin, sequence, body.Cp1250Text,
                              static_cast<int32_t>(time));
    PutPacketHeader(message_.data(), kRecvMsg, payloadLength);
  }
  // One long message would otherwise keep its room for good.
  if (message_.capacity() > kKeptMessageRoom && message_.size() <= kKeptMessageRoom) message_.shrink_to_fit();
  return true;
}

bool TGgSession::MakeMessagePacket80(int32_t senderUin, const TMessageBody& body, int64_t time) {
  // The newer clients read the HTML part only: it is never sent empty.
  std::string made;
  std::string_view html = body.Html;
  if (html.empty()) html = made = TextToHtml(Cp1250ToUtf8(body.Cp1250Text));
  int32_t sent = static_cast<int32_t>(time != 0 ? time : std::time(nullptr));
  std::string payload =
      ReceivedMessage80Payload(senderUin, FreshSequence(), sent, body.Class, html, body.Cp1250Text, body.Attributes);
  if (payload.empty()) return false;
  message_.assign(kPacketHeader, '\0');
  message_ += payload;
  PutPacketHeader(message_.data(), kRecvMsg80, payload.size());
  return true;
}

void TGgSession::DeliverMessage(TGgClient* recipient, int32_t senderUin, const TMessageBody& body) {
  if (MakeMessagePacket(recipient, senderUin, body)) QueuePacket(recipient, message_);
}

void TGgSession::SendServerMessage(TGgClient* client, std::string_view cp1250Text) {
  DeliverMessage(client, 0, {cp1250Text, {}, kMessageClass, {}});
}

void TGgSession::AnnounceGone(TGgClient* client) {
  if (!client->LoggedIn || !IsShownOnline(client->Status)) return;
  if (client->CloseError == WSAETIMEDOUT)
    Log(GG_CP1250("<użytkownik %d nie odpowiada, połączenie zamknięte"), client->Uin());
  else
    Log(GG_CP1250("<użytkownik %d rozłączył się bez wylogowania"), client->Uin());
  AnnounceLeaving(client, kNotAvailable, {}, {});
}

void TGgSession::AnnounceLeaving(TGgClient* client, uint32_t code, std::string_view tail60,
                                 std::string_view utf8Description) {
  const TGgClient* other = riDuziva_->ClientIndex().FirstOther(client);
  if (other == nullptr) return AnnounceStatus(client, code, tail60, utf8Description);
  if (other->Status == 0) return;
  AnnounceStatus(client, AnnouncedStatus(other->Status), TextFor(gdGg60, other->Description, other->DescriptionIsUtf8),
                 TextFor(gdGg80, other->Description, other->DescriptionIsUtf8));
}

}  // namespace ordwin
