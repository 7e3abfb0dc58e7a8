#include "gg/GgSession.h"

#include <algorithm>
#include <array>

#include "gg/GgBytes.h"
#include "gg/GgLogFormat.h"
#include "gg/GgPacketTypes.h"

namespace ordwin {

namespace {

using namespace ggpacket;

constexpr size_t kMessageTextOffset = 12;
constexpr size_t kMessageTextSearch = 2000;

constexpr uint8_t k60 = DialectBit(gdGg60);
constexpr uint8_t k80 = DialectBit(gdGg80);
constexpr uint8_t k110 = DialectBit(gdGg110);
constexpr uint8_t kNewer = k80 | k110;
constexpr uint8_t kAll = k60 | kNewer;

}  // namespace

const TGgSession::TRoute TGgSession::kRoutes[] = {
    {kNewStatus, k60, &TGgSession::StatusChange},
    {kPing, kAll, &TGgSession::Ping},
    {kSendMsg, k60, &TGgSession::SendMessage},
    {kAddNotify, k80, &TGgSession::NotifyChange},
    {kRemoveNotify, k60 | k80, &TGgSession::NotifyList},
    {kNotifyFirst, k60 | k80, &TGgSession::NotifyList},
    {kNotifyLast, k60 | k80, &TGgSession::NotifyList},
    {kNotifyEmpty, k60 | k80, &TGgSession::NotifyList},
    {kPubdirRequest, kAll, &TGgSession::PubdirRequest},
    {kLogin, kAll, &TGgSession::Login},
    {kUserListRequest, kAll, &TGgSession::ContactListRequest},
    {kSendMsg80, k80, &TGgSession::NewerMessage},
    {kLogin80, kAll, &TGgSession::NewerLogin},
    {kNewStatus80, kNewer, &TGgSession::NewStatus80},
    {kRecvMsgAck, kNewer, &TGgSession::MessageAck},
    {kTypingNotify, kNewer, &TGgSession::Typing},
    {kNotify105First, k110, &TGgSession::NotifyList},
    {kNotify105Last, k110, &TGgSession::NotifyList},
    {kNotify105Empty, k110, &TGgSession::NotifyList},
    {kAddNotify105, k110, &TGgSession::NotifyChange},
    {kRemoveNotify105, k110, &TGgSession::NotifyChange},
    {kSendMsg110, k110, &TGgSession::NewerMessage},
    {kLogin105, kAll, &TGgSession::NewerLogin},
};

const TGgSession::TRoute* TGgSession::FindRoute(int32_t Type) {
  // Every routed type is below 256: a direct index instead of a search for each packet.
  static const std::array<const TRoute*, 256> kByType = [] {
    std::array<const TRoute*, 256> byType{};
    for (const TRoute& route : kRoutes) byType[static_cast<size_t>(route.Type)] = &route;
    return byType;
  }();
  return Type >= 0 && Type < 256 ? kByType[static_cast<size_t>(Type)] : nullptr;
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

std::string TGgSession::Start() {
  std::string errorText;
  riDuziva_->Listen(errorText);
  if (!errorText.empty()) {
    // The socket layer's text is two lines ("Error ... in function ..." CR LF reason): one here.
    std::string oneLine = errorText;
    if (size_t at = oneLine.find("\r\n"); at != std::string::npos) oneLine.replace(at, 2, ": ");
    Log(GG_CP1250("<nie udało się otworzyć portu %d (%s); serwer GG nie działa"), riDuziva_->Port(), oneLine);
  }
  return errorText;
}

void TGgSession::SendPacket(TGgClient* Client, int32_t Type, const std::string& Payload) {
  // A connection that has closed is gone: what would go to it is dropped, and the handling of
  // the packet goes on for everybody else.
  if (Client->State() != wsConnected) return;
  if (Client->SendQueueSize() + 8 + Payload.size() > kMaxUnsent) {
    // Aborting would throw away messages whose senders were told they were delivered.
    if (!Client->HoldsDeliveredMessage()) Client->Abort();
    return;
  }
  // One send per connection and turn instead of one per packet: under load, a turn carries
  // dozens of packets for the same connection.
  std::string header = IntToLeBytes(Type) + IntToLeBytes(static_cast<int32_t>(Payload.size()));
  Client->QueueData(header);
  Client->QueueData(Payload);
  Client->NoteQueued(header.size() + Payload.size());
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
  SendPacket(Client, kWelcome, IntToLeBytes(FreshSequence()));
  Log(GG_CP1250(">powitanie"));
}

void TGgSession::RIDuzivaClientDataAvailable(TObject*, TGgClient*, const std::string&) {}

void TGgSession::RIDuzivaClientDisconnect(TObject*, TGgClient* Client) { AnnounceGone(Client); }

void TGgSession::RIDuzivaServerClosed(TObject*, uint16_t) {}

void TGgSession::RIDuzivaClientCommand(TGgClient* ASender, int32_t ACommand, const std::string& AZawartosc) {
  const TRoute* route = FindRoute(ACommand);
  if (route == nullptr || (route->Dialects & DialectBit(ASender->Dialect)) == 0) {
    Unknown(ASender, ACommand, AZawartosc);
    return;
  }
  (this->*route->Handler)(ASender, ACommand, AZawartosc);
}

void TGgSession::Ping(TGgClient* Sender, int32_t, const std::string&) {
  Log(GG_CP1250("%d>ciągle jestem"), Sender->Uin());
}

void TGgSession::PubdirRequest(TGgClient* Sender, int32_t, const std::string&) {
  Log(GG_CP1250("%d>żądanie do katalogu publicznego"), Sender->Uin());
}

void TGgSession::Unknown(TGgClient*, int32_t Type, const std::string& Payload) {
  Log(GG_CP1250("<żądanie %d %s"), Type, Payload);
}

// Fields a short payload lacks read as 0, here and in every 6.0 packet.
void TGgSession::Login(TGgClient* Sender, int32_t, const std::string& Payload) {
  Sender->SetUin(LeBytesToInt(Payload, 0));
  Sender->Dialect = gdGg60;
  Sender->LoggedIn = true;
  Log(GG_CP1250(">logowanie użytkownika %d"), Sender->Uin());
  SendPacket(Sender, kLoginOk, std::string());
  Log(GG_CP1250("<użytkownik zalogowany"));
  Sender->NotifyReply.clear();
}

void TGgSession::StatusChange(TGgClient* Sender, int32_t, const std::string& Payload) {
  std::string_view passedOn = std::string_view(Payload).substr(std::min<size_t>(4, Payload.size()));
  uint32_t word = static_cast<uint32_t>(LeBytesToInt(Payload, 0));
  Sender->Status = word;
  Sender->Description.assign(passedOn.substr(0, passedOn.find('\0')));
  Sender->DescriptionIsUtf8 = false;
  if (word & kFriendsOnlyFlag) SendServerMessage(Sender, GG_CP1250("Serwer nie rozróżnia przyjaciół od reszty"));

  int32_t uin = Sender->Uin();
  size_t length = Payload.size();
  if (LogStatusWord(uin, word, length)) Sender->Close();
  AnnounceStatus(Sender, AnnouncedStatus(word), passedOn, Cp1250ToUtf8(Sender->Description));
  Log(GG_CP1250("%d>użytkownik zmienił status na %x \"%s\" (paczka o długości %d)"), uin, word,
      EscapeControlChars(Payload), length);
}

bool TGgSession::LogStatusWord(int32_t Uin, uint32_t Word, size_t Length) {
  switch (Word & ~kFriendsOnlyFlag) {
    case 1:
    case 21:
      Log(GG_CP1250("%d>wyloguj mnie (paczka o długości %d)"), Uin, Length);
      return true;
    case 2:
    case 4:
      Log(GG_CP1250("%d>jestem dostępny (paczka o długości %d)"), Uin, Length);
      return false;
    case 3:
    case 5:
      Log(GG_CP1250("%d>jestem zajęty (paczka o długości %d)"), Uin, Length);
      return false;
    case 20:
    case 22:
      Log(GG_CP1250("%d>ukryj mnie (paczka o długości %d)"), Uin, Length);
      return false;
    default:
      return false;
  }
}

void TGgSession::SendMessage(TGgClient* Sender, int32_t, const std::string& Payload) {
  std::string_view text;
  if (Payload.size() > kMessageTextOffset) {
    size_t end = std::min(Payload.size(), kMessageTextOffset + kMessageTextSearch);
    size_t nul = Payload.find('\0', kMessageTextOffset);
    if (nul != std::string::npos && nul < end)
      text = std::string_view(Payload).substr(kMessageTextOffset, nul - kMessageTextOffset);
  }
  PassMessage(Sender, LeBytesToInt(Payload, 0), LeBytesToInt(Payload, 4), text, {}, kMessageClass, {});
}

}  // namespace ordwin
