#include "gg/GgSession.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "gg/GgBytes.h"
#include "gg/GgLogFormat.h"
#include "gg/GgNewerPackets.h"
#include "gg/GgPacketTypes.h"
#include "gg/GgStatus.h"

namespace ordwin {

namespace {

using namespace ggpacket;
using namespace ggstatus;

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
    {kNotify110First, k110, &TGgSession::NotifyList},
    {kNotify110Last, k110, &TGgSession::NotifyList},
    {kNotify110Empty, k110, &TGgSession::NotifyList},
    {kAddNotify110, k110, &TGgSession::NotifyChange},
    {kRemoveNotify110, k110, &TGgSession::NotifyChange},
    {kSendMsg110, k110, &TGgSession::NewerMessage},
    {kLogin110, kAll, &TGgSession::NewerLogin},
};

const TGgSession::TRoute* TGgSession::FindRoute(int32_t type) {
  // Every routed type is below 256: a direct index instead of a search for each packet.
  static const std::array<const TRoute*, 256> kByType = [] {
    std::array<const TRoute*, 256> byType{};
    for (const TRoute& route : kRoutes) byType[static_cast<size_t>(route.Type)] = &route;
    return byType;
  }();
  return type >= 0 && type < 256 ? kByType[static_cast<size_t>(type)] : nullptr;
}

TGgSession::TGgSession(TLogSink log) : log_(std::move(log)), riDuziva_(std::make_unique<TRiDuziva>(nullptr)) {
  TRiDuziva& r = *riDuziva_;
  r.OnClientCommand = [this](TGgClient* aSender, int32_t aCommand, std::string_view aZawartosc) {
    RIDuzivaClientCommand(aSender, aCommand, aZawartosc);
  };
  r.OnClientConnect = [this](TObject* sender, TGgClient* client) { RIDuzivaClientConnect(sender, client); };
  r.OnClientDataAvailable = [this](TObject* sender, TGgClient* client, const std::string& data) {
    RIDuzivaClientDataAvailable(sender, client, data);
  };
  r.OnClientDisconnect = [this](TObject* sender, TGgClient* client) { RIDuzivaClientDisconnect(sender, client); };
  r.OnServerClosed = [this](TObject* sender, uint16_t error) { RIDuzivaServerClosed(sender, error); };
  r.OnClientRefused = [this](TObject*, TGgClient* client, TConnectionCap::TVerdict why) {
    Log(why == TConnectionCap::cvAddressFull ? GG_CP1250("<odmowa połączenia z %s: za dużo połączeń z tego adresu")
                                             : GG_CP1250("<odmowa połączenia z %s: za dużo połączeń"),
        client->CachedPeerAddr());
  };
  r.OnClientLongPacket = [this](TGgClient* sender, int32_t type, int32_t length, const std::string& head) {
    LongPacket(sender, type, length, head);
  };
  r.OnClientExpired = [this](TObject* sender, TGgClient* client, TGgExpiry why) {
    RIDuzivaClientExpired(sender, client, why);
  };
}

TGgSession::~TGgSession() {
  // The connections close while the rest of the session still stands: their last sends may
  // complete kept messages, which then leave the store.
  riDuziva_.reset();
  for (auto& [number, delivery] : kept_) delivery.Client = nullptr;  // gone with the listener
  ForgetTaken();
}

namespace {

// The socket layer's text is two lines ("Error ... in function ..." CR LF reason): one here.
std::string OneLine(std::string text) {
  if (size_t at = text.find("\r\n"); at != std::string::npos) text.replace(at, 2, ": ");
  return text;
}

}  // namespace

std::string TGgSession::Start() {
  std::string errorText;
  riDuziva_->Listen(errorText);
  if (!errorText.empty())
    Log(GG_CP1250("<nie udało się otworzyć portu %d (%s); serwer GG nie działa"), riDuziva_->Port(),
        OneLine(errorText));
  return errorText;
}

std::string TGgSession::StartTls(std::shared_ptr<const TTlsContext> context, int32_t tlsPort) {
  std::string names;
  for (const std::string& name : context->Names()) names += (names.empty() ? "" : ", ") + name;
  const std::string fingerprint = context->Fingerprint();
  std::string errorText;
  riDuziva_->ListenTls(tlsPort, std::move(context), errorText);
  if (!errorText.empty())
    Log(GG_CP1250("<nie udało się otworzyć portu %d (%s); połączenia szyfrowane (TLS) nie działają"), tlsPort,
        OneLine(errorText));
  else
    Log(GG_CP1250("<połączenia szyfrowane (TLS) na porcie %s, certyfikat dla %s, odcisk SHA-256 %s"),
        riDuziva_->SocketServer()->TlsListener()->GetBoundPort(), names, fingerprint);
  return errorText;
}

void TGgSession::SendPacket(TGgClient* client, int32_t type, std::string_view payload) {
  // A short packet (acknowledgements, notifications, chat lines) is put together here and
  // queued in one piece: half the work of queuing header and payload apart.
  char packet[kPacketHeader + 248];
  PutPacketHeader(packet, type, payload.size());
  if (payload.size() <= sizeof(packet) - kPacketHeader) {
    if (!payload.empty()) std::memcpy(packet + kPacketHeader, payload.data(), payload.size());
    QueuePacket(client, std::string_view(packet, kPacketHeader + payload.size()));
  } else {
    QueuePacket(client, std::string_view(packet, kPacketHeader), payload);
  }
}

void TGgSession::QueuePacket(TGgClient* client, std::string_view head, std::string_view rest) {
  // A connection that has closed is gone: what would go to it is dropped, and the handling of
  // the packet goes on for everybody else. One that cannot take it is aborted, unless aborting
  // would throw away messages whose senders were told they were delivered.
  if (client->State() != wsConnected) return;
  if (!client->SendAtTurnEnd(head, rest) && !client->HoldsDeliveredMessage()) client->Abort();
}

void TGgSession::HandleMessage(TMessage& msg) {
  if (msg.Msg == WM_FORGET_TAKEN) ForgetTaken();
}

void TGgSession::RIDuzivaClientConnect(TObject*, TGgClient* client) {
  client->UnsentBound = kMaxUnsentBeforeLogin;
  SendPacket(client, kWelcome, IntToLeBytes(FreshSequence()));
  Log(GG_CP1250(">powitanie"));
}

void TGgSession::RIDuzivaClientDataAvailable(TObject*, TGgClient*, const std::string&) {}

void TGgSession::RIDuzivaClientDisconnect(TObject*, TGgClient* client) {
  if (!client->TlsError().empty())
    Log(GG_CP1250("<nieudane połączenie szyfrowane z %s: %s"), client->CachedPeerAddr(), client->TlsError());
  DropKeptCarrier(client);
  AnnounceGone(client);
}

void TGgSession::RIDuzivaServerClosed(TObject*, uint16_t) {}

void TGgSession::RIDuzivaClientExpired(TObject*, TGgClient* client, TGgExpiry why) {
  const TGgLimits& limits = riDuziva_->Limits;
  if (why == geNoLogin)
    Log(GG_CP1250("<brak logowania przez %d s, połączenie zamknięte"),
        std::chrono::duration_cast<seconds>(limits.LoginLimit).count());
  else
    Log(GG_CP1250("<użytkownik %d milczy od %d s, połączenie zamknięte"), client->Uin(),
        std::chrono::duration_cast<seconds>(limits.IdleLimit).count());
}

void TGgSession::RIDuzivaClientCommand(TGgClient* aSender, int32_t aCommand, std::string_view aZawartosc) {
  const TRoute* route = FindRoute(aCommand);
  if (route == nullptr || (route->Dialects & DialectBit(aSender->Dialect)) == 0) {
    Unknown(aSender, aCommand, aZawartosc);
    return;
  }
  (this->*route->Handler)(aSender, aCommand, aZawartosc);
}

void TGgSession::LongPacket(TGgClient* sender, int32_t type, int32_t length, const std::string& head) {
  const TRoute* route = FindRoute(type);
  bool routed = route != nullptr && (route->Dialects & DialectBit(sender->Dialect)) != 0;
  if (head.empty()) {
    Log(GG_CP1250("%d>błędna paczka %d o długości %d, połączenie zamknięte"), sender->Uin(), type, length);
    return;
  }
  if (!routed) return Unknown(sender, type, head);
  // A 6.0 message's text is looked for in its first 2,000 bytes only: the head holds it all.
  if (type == kSendMsg) return SendMessage(sender, type, head);
  TGgSentMessage m;
  if (!(type == kSendMsg80 ? ReadMessageHead80(head, m) : ReadMessageHead110(head, m))) {
    Log(GG_CP1250("%d>błędna paczka %d o długości %d, połączenie zamknięte"), sender->Uin(), type, length);
    sender->Close();
    return;
  }
  Log(GG_CP1250("%d>wypowiedź dla %d zbyt długa (paczka o długości %d), nie przekazano"), sender->Uin(), m.Recipient,
      length);
  Acknowledge(sender, m.Recipient, m.Sequence, kAckNotDelivered);
}

void TGgSession::Ping(TGgClient* sender, int32_t, std::string_view) {
  Log(GG_CP1250("%d>ciągle jestem"), sender->Uin());
}

void TGgSession::PubdirRequest(TGgClient* sender, int32_t, std::string_view) {
  Log(GG_CP1250("%d>żądanie do katalogu publicznego"), sender->Uin());
}

void TGgSession::Unknown(TGgClient*, int32_t type, std::string_view payload) {
  Log(GG_CP1250("<żądanie %d %s"), type, payload);
}

// Fields a short payload lacks read as 0, here and in every 6.0 packet.
void TGgSession::Login(TGgClient* sender, int32_t, std::string_view payload) {
  AcceptLogin(sender, LeBytesToInt(payload, 0), gdGg60, GG_CP1250(">logowanie użytkownika %d"));
  DeliverKept(sender);
}

void TGgSession::AcceptLogin(TGgClient* client, int32_t uin, TGgDialect dialect, std::string_view cp1250Line) {
  if (client->LoggedIn) {
    if (IsShownOnline(client->Status)) {
      Log(GG_CP1250("<użytkownik %d wylogowany przez ponowne logowanie"), client->Uin());
      AnnounceLeaving(client, kNotAvailable, {}, {});
    }
    client->TakeStatus(0, {}, false);
  }
  client->SetUin(uin);
  client->LoggedIn = true;
  client->UnsentBound = kMaxUnsent;
  riDuziva_->CheckOtherConnections(client);
  client->Dialect = dialect;
  Log(cp1250Line, uin);
  SendPacket(client, kLoginOk, std::string());
  Log(GG_CP1250("<użytkownik zalogowany"));
  client->NotifyReply.clear();
}

void TGgSession::StatusChange(TGgClient* sender, int32_t, std::string_view payload) {
  // The others are told the bytes after the word as they came, past a NUL too.
  std::string_view passedOn = payload.substr(std::min<size_t>(4, payload.size()));
  uint32_t word = static_cast<uint32_t>(LeBytesToInt(payload, 0));
  int32_t uin = sender->Uin();
  ChangeStatus(sender, word, passedOn.substr(0, passedOn.find('\0')), false, passedOn, payload.size());
  Log(GG_CP1250("%d>użytkownik zmienił status na %x \"%s\" (paczka o długości %d)"), uin, word,
      EscapeControlChars(payload), payload.size());
}

void TGgSession::ChangeStatus(TGgClient* sender, uint32_t word, std::string_view description, bool descriptionIsUtf8,
                              std::string_view tail60, size_t length) {
  sender->TakeStatus(word, description, descriptionIsUtf8);
  if (word & kFriendsOnlyFlag) SendServerMessage(sender, GG_CP1250("Serwer nie rozróżnia przyjaciół od reszty"));
  std::string converted = descriptionIsUtf8 ? std::string() : Cp1250ToUtf8(description);
  std::string_view utf8 = descriptionIsUtf8 ? description : std::string_view(converted);
  if (LogStatusWord(sender->Uin(), word, length)) {
    // Without this answer a newer client waits seconds before it closes by itself.
    if (IsNewer(sender->Dialect)) SendPacket(sender, kDisconnectAck, std::string());
    sender->Close();
    AnnounceLeaving(sender, AnnouncedStatus(word), tail60, utf8);
  } else {
    AnnounceStatus(sender, AnnouncedStatus(word), tail60, utf8);
  }
}

bool TGgSession::LogStatusWord(int32_t uin, uint32_t word, size_t length) {
  // Clients add flags above the low byte (a description, an image): the state is the low byte.
  switch (word & kStatusCodeMask) {
    case kNotAvailable:
    case kNotAvailableWithText:
      Log(GG_CP1250("%d>wyloguj mnie (paczka o długości %d)"), uin, length);
      return true;
    case kAvailable:
    case kAvailableWithText:
      Log(GG_CP1250("%d>jestem dostępny (paczka o długości %d)"), uin, length);
      return false;
    case kBusy:
    case kBusyWithText:
      Log(GG_CP1250("%d>jestem zajęty (paczka o długości %d)"), uin, length);
      return false;
    case kHidden:
    case kHiddenWithText:
      Log(GG_CP1250("%d>ukryj mnie (paczka o długości %d)"), uin, length);
      return false;
    default:
      return false;
  }
}

void TGgSession::SendMessage(TGgClient* sender, int32_t, std::string_view payload) {
  std::string_view text;
  if (payload.size() > kMessageTextOffset) {
    size_t end = std::min(payload.size(), kMessageTextOffset + kMessageTextSearch);
    size_t nul = payload.substr(0, end).find('\0', kMessageTextOffset);
    if (nul != std::string::npos) text = payload.substr(kMessageTextOffset, nul - kMessageTextOffset);
  }
  PassMessage(sender, LeBytesToInt(payload, 0), LeBytesToInt(payload, 4), {text, {}, kMessageClass, {}});
}

}  // namespace ordwin
