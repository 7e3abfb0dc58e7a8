#include "gg/GgSession.h"

#include <algorithm>

#include "gg/GgBytes.h"
#include "gg/GgLogFormat.h"
#include "gg/GgPacketTypes.h"
#include "gg/Random.h"

namespace ordwin {

namespace {

using namespace ggpacket;

constexpr uint32_t kFriendsOnlyFlag = 0x8000;
constexpr int32_t kAckDelivered = 2;
constexpr int32_t kAckNotDelivered = 1;
constexpr int32_t kMessageClass = 4;
constexpr size_t kMessageTextOffset = 12;
constexpr size_t kMessageTextSearch = 2000;
// Sequence numbers and seeds: 0 to 2147483646.
constexpr int32_t kRandomRange = 2147483647;

int32_t RandomNumber() { return Random(kRandomRange); }


}  // namespace

std::string StatusEntry(int32_t Uin, uint32_t Code) {
  std::string entry = IntToLeBytes(Uin);
  entry += static_cast<char>(Code & 0xFFu);
  entry.append(9, '\0');
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

TGgSession::TGgSession(TLogSink Log) : log_(std::move(Log)), riDuziva_(std::make_unique<TRiDuziva>(nullptr)) {
  TRiDuziva& r = *riDuziva_;
  r.OnClientCommand = [this](TGgClient* ASender, int32_t ACommand, const std::string& AZawartosc) {
    RIDuzivaClientCommand(ASender, ACommand, AZawartosc);
  };
  r.OnClientConnect = [this](TObject* Sender, TGgClient* Client) { RIDuzivaClientConnect(Sender, Client); };
  r.OnClientDataAvailable = [this](TObject* Sender, TGgClient* Client, const std::string& Data) {
    RIDuzivaClientDataAvailable(Sender, Client, Data);
  };
  r.OnClientDisconnect = [this](TObject* Sender, TGgClient* Client) { RIDuzivaClientDisconnect(Sender, Client); };
  r.OnServerClosed = [this](TObject* Sender, uint16_t Error) { RIDuzivaServerClosed(Sender, Error); };
}

TGgSession::~TGgSession() = default;

void TGgSession::Start() {
  std::string errorText;
  riDuziva_->Listen(errorText);
}

void TGgSession::SendPacket(TGgClient* Client, int32_t Type, const std::string& Payload) {
  // A connection that has closed is gone: what would go to it is dropped, and the handling of
  // the packet goes on for everybody else.
  if (Client->State() != wsConnected) return;
  if (Client->SendQueueSize() + 8 + Payload.size() > kMaxUnsent) {
    Client->Abort();
    return;
  }
  // One send per connection and turn instead of one per packet: under load, a turn carries
  // dozens of packets for the same connection.
  std::string header = IntToLeBytes(Type) + IntToLeBytes(static_cast<int32_t>(Payload.size()));
  Client->QueueData(header);
  Client->QueueData(Payload);
  if (!riDuziva_->ClientIndex().MarkQueued(Client)) {
    Client->Send(nullptr, 0);  // not one of ours: it goes out now
    return;
  }
  if (!flushPosted_) {
    flushPosted_ = true;
    endpoint_.PostAtTurnEnd(0, 0, 0);
  }
}

void TGgSession::HandleMessage(TMessage&) {
  flushPosted_ = false;
  for (TGgClient* client : riDuziva_->ClientIndex().TakeQueued()) {
    if (client->State() != wsConnected) continue;
    try {
      client->Send(nullptr, 0);
    } catch (const std::exception&) {
      // Only a failure other than a lost connection raises; the others are served all the same.
    }
  }
}

TGgClient* TGgSession::FindClientByUin(int32_t Number) const {
  return riDuziva_->FindConnectedClient(Number);
}

void TGgSession::RIDuzivaClientConnect(TObject*, TGgClient* Client) {
  SendPacket(Client, kWelcome, IntToLeBytes(RandomNumber()));
  Log(GG_CP1250(">powitanie"));
}

void TGgSession::RIDuzivaClientDataAvailable(TObject*, TGgClient*, const std::string&) {}

void TGgSession::RIDuzivaClientDisconnect(TObject*, TGgClient*) {}

void TGgSession::RIDuzivaServerClosed(TObject*, uint16_t) {}

void TGgSession::RIDuzivaClientCommand(TGgClient* ASender, int32_t ACommand, const std::string& AZawartosc) {
  switch (ACommand) {
    case kNewStatus:
      StatusChange(ASender, AZawartosc);
      break;
    case kPing:
      Log(GG_CP1250("%d>ciągle jestem"), ASender->Uin());
      break;
    case kSendMsg:
      SendMessage(ASender, AZawartosc);
      break;
    case kRemoveNotify:
    case kNotifyFirst:
    case kNotifyLast:
    case kNotifyEmpty:
      NotifyList(ASender, ACommand, AZawartosc);
      break;
    case kUserListRequest:
      ContactListRequest(ASender, AZawartosc);
      break;
    case kPubdirRequest:
      Log(GG_CP1250("%d>żądanie do katalogu publicznego"), ASender->Uin());
      break;
    case kLogin:
      Login(ASender, AZawartosc);
      break;
    default:
      Log(GG_CP1250("<żądanie %d %s"), ACommand, AZawartosc);
      break;
  }
}

// Fields a short payload lacks read as 0, here and in every packet.
void TGgSession::Login(TGgClient* Sender, const std::string& Payload) {
  Sender->SetUin(LeBytesToInt(Payload, 0));
  Log(GG_CP1250(">logowanie użytkownika %d"), Sender->Uin());
  SendPacket(Sender, kLoginOk, std::string());
  Log(GG_CP1250("<użytkownik zalogowany"));
  Sender->NotifyReply.clear();
}

void TGgSession::SendServerMessage(TGgClient* Client, std::string_view Cp1250Text) {
  SendPacket(Client, kRecvMsg, ReceivedMessagePayload(0, RandomNumber(), Cp1250Text));
}

void TGgSession::StatusChange(TGgClient* Sender, const std::string& Payload) {
  std::string passedOn = Payload.substr(std::min<size_t>(4, Payload.size()));
  uint32_t word = static_cast<uint32_t>(LeBytesToInt(Payload, 0));
  Sender->Status = word;
  if (word & kFriendsOnlyFlag) SendServerMessage(Sender, GG_CP1250("Serwer nie rozróżnia przyjaciół od reszty"));

  uint32_t announced = word & ~kFriendsOnlyFlag;
  int32_t uin = Sender->Uin();
  size_t length = Payload.size();
  switch (announced) {
    case 1:
    case 21:
      Log(GG_CP1250("%d>wyloguj mnie (paczka o długości %d)"), uin, length);
      Sender->Close();
      break;
    case 2:
    case 4:
      Log(GG_CP1250("%d>jestem dostępny (paczka o długości %d)"), uin, length);
      break;
    case 3:
    case 5:
      Log(GG_CP1250("%d>jestem zajęty (paczka o długości %d)"), uin, length);
      break;
    case 20:
    case 22:
      announced = announced == 20 ? 1 : 21;
      Log(GG_CP1250("%d>ukryj mnie (paczka o długości %d)"), uin, length);
      break;
    default:
      break;
  }

  std::string notification = StatusEntry(uin, announced) + passedOn;
  TWSocketServer& server = *riDuziva_->SocketServer();
  int count = server.CountClients();
  for (int i = 0; i < count; ++i) {
    auto* client = dynamic_cast<TGgClient*>(server.ClientAt(i));
    if (client == nullptr || client->Uin() == uin) continue;
    SendPacket(client, kStatusNotify, notification);
  }

  Log(GG_CP1250("%d>użytkownik zmienił status na %x \"%s\" (paczka o długości %d)"), uin, word,
      EscapeControlChars(Payload), length);
}

void TGgSession::SendMessage(TGgClient* Sender, const std::string& Payload) {
  std::string_view text;
  if (Payload.size() > kMessageTextOffset) {
    size_t end = std::min(Payload.size(), kMessageTextOffset + kMessageTextSearch);
    size_t nul = Payload.find('\0', kMessageTextOffset);
    if (nul != std::string::npos && nul < end)
      text = std::string_view(Payload).substr(kMessageTextOffset, nul - kMessageTextOffset);
  }
  int32_t recipient = LeBytesToInt(Payload, 0);
  int32_t uin = Sender->Uin();
  Log(GG_CP1250("%d>wypowiedź dla %d o treści \"%s\""), uin, recipient, text);

  std::string ackTail = IntToLeBytes(uin) + IntToLeBytes(LeBytesToInt(Payload, 4));
  if (TGgClient* found = FindClientByUin(recipient)) {
    SendPacket(Sender, kSendMsgAck, IntToLeBytes(kAckDelivered) + ackTail);
    SendPacket(found, kRecvMsg, ReceivedMessagePayload(uin, RandomNumber(), text));
  } else {
    SendPacket(Sender, kSendMsgAck, IntToLeBytes(kAckNotDelivered) + ackTail);
    SendServerMessage(Sender, GG_CP1250("Użytkownik gdzieś se poszedł. Wiadomość nie zostanie mu przekazana."));
  }
}

}  // namespace ordwin
