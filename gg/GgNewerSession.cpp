// The packets that only the 8.0 and 11 clients send: their logins, status changes, messages,
// message receipts and typing notifications. A packet that cannot be read whole closes the
// connection that sent it.
#include "gg/GgSession.h"

#include "gg/Cp1250.h"
#include "gg/GgBytes.h"
#include "gg/GgHtml.h"
#include "gg/GgLogFormat.h"
#include "gg/GgNewerPackets.h"
#include "gg/GgPacketTypes.h"
#include "gg/GgReader.h"

namespace ordwin {

namespace {

using namespace ggpacket;

}  // namespace

void TGgSession::NewerLogin(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  TGgLogin login;
  bool is80 = Type == kLogin80;
  if (!(is80 ? ReadLogin80(Payload, login) : ReadLogin105(Payload, login))) return Reject(Sender, Type, Payload);
  Sender->SetUin(login.Uin);
  Sender->Dialect = is80 ? gdGg80 : gdGg110;
  Sender->LoggedIn = true;
  Log(is80 ? GG_CP1250(">logowanie użytkownika %d (protokół 8.0)")
           : GG_CP1250(">logowanie użytkownika %d (protokół 11)"),
      login.Uin);
  SendPacket(Sender, kLoginOk, std::string());
  Log(GG_CP1250("<użytkownik zalogowany"));
  Sender->NotifyReply.clear();

  // A newer client logs in with its status and description: the others are told of them as of
  // a status change, or they would not see it until it changed them. A client that is not
  // there for them (not available, hidden) is news to nobody.
  Sender->Status = login.Status;
  Sender->Description.assign(login.Description);
  Sender->DescriptionIsUtf8 = true;
  std::string cp1250 = Utf8ToCp1250(login.Description);
  if (IsShownOnline(login.Status)) AnnounceStatus(Sender, AnnouncedStatus(login.Status), cp1250, login.Description);
  Log(GG_CP1250("%d>status przy logowaniu %x \"%s\""), login.Uin, login.Status, EscapeControlChars(cp1250));
}

void TGgSession::NewStatus80(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  TGgNewStatus status;
  if (!ReadNewStatus80(Payload, status)) return Reject(Sender, Type, Payload);
  Sender->Status = status.Status;
  Sender->Description.assign(status.Description);
  Sender->DescriptionIsUtf8 = true;
  if (status.Status & kFriendsOnlyFlag)
    SendServerMessage(Sender, GG_CP1250("Serwer nie rozróżnia przyjaciół od reszty"));

  int32_t uin = Sender->Uin();
  if (LogStatusWord(uin, status.Status, Payload.size())) {
    // Without this answer the client waits seconds before it closes by itself.
    SendPacket(Sender, kDisconnectAck, std::string());
    Sender->Close();
  }
  std::string cp1250 = Utf8ToCp1250(status.Description);
  AnnounceStatus(Sender, AnnouncedStatus(status.Status), cp1250, status.Description);
  Log(GG_CP1250("%d>użytkownik zmienił status na %x z opisem \"%s\" (paczka o długości %d)"), uin, status.Status,
      EscapeControlChars(cp1250), Payload.size());
}

void TGgSession::NewerMessage(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  TGgSentMessage m;
  bool is80 = Type == kSendMsg80;
  if (!(is80 ? ReadSendMsg80(Payload, m) : ReadSendMsg110(Payload, m))) return Reject(Sender, Type, Payload);
  // The plain part goes to 6.0 clients and the log in Windows-1250; an 11 client's is UTF-8,
  // and a message with no plain part is read from its HTML.
  std::string cp1250;
  if (m.Plain.empty() && !m.Html.empty())
    cp1250 = Utf8ToCp1250(HtmlToText(m.Html));
  else
    cp1250 = is80 ? std::string(m.Plain) : Utf8ToCp1250(m.Plain);
  std::string html;
  if (m.Html.empty()) html = TextToHtml(is80 ? Cp1250ToUtf8(m.Plain) : std::string(m.Plain));
  PassMessage(Sender, m.Recipient, m.Sequence, cp1250, m.Html.empty() ? std::string_view(html) : m.Html, m.Class,
              m.Attributes);
}

void TGgSession::MessageAck(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  TGgReader r(Payload);
  uint32_t sequence = r.U32();
  if (!r.Ok()) return Reject(Sender, Type, Payload);
  Log(GG_CP1250("%d>potwierdzenie odebrania wiadomości %d"), Sender->Uin(), sequence);
}

void TGgSession::Typing(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  TGgTyping typing;
  if (!ReadTyping(Payload, typing)) return Reject(Sender, Type, Payload);
  int32_t uin = Sender->Uin();
  Log(GG_CP1250("%d>powiadomienie o pisaniu dla %d (długość %d)"), uin, typing.Uin, typing.Length);
  // Only the newer clients know the packet; it goes on with the sender's number.
  TGgClient* found = FindClientByUin(typing.Uin);
  if (found != nullptr && IsNewer(found->Dialect)) SendPacket(found, kTypingNotify, TypingPayload(typing.Length, uin));
}

void TGgSession::Reject(TGgClient* Sender, int32_t Type, const std::string& Payload) {
  Log(GG_CP1250("%d>błędna paczka %d o długości %d, połączenie zamknięte"), Sender->Uin(), Type, Payload.size());
  Sender->Close();
}

}  // namespace ordwin
