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
#include "gg/GgStatus.h"

namespace ordwin {

namespace {

using namespace ggpacket;
using namespace ggstatus;

}  // namespace

void TGgSession::NewerLogin(TGgClient* sender, int32_t type, std::string_view payload) {
  TGgLogin login;
  bool is80 = type == kLogin80;
  if (!(is80 ? ReadLogin80(payload, login) : ReadLogin110(payload, login))) return Reject(sender, type, payload);
  AcceptLogin(sender, login.Uin, is80 ? gdGg80 : gdGg110,
              is80 ? GG_CP1250(">logowanie użytkownika %d (protokół 8.0)")
                   : GG_CP1250(">logowanie użytkownika %d (protokół 11)"));
  // A newer client logs in with its status and description: the others are told of them as of
  // a status change, or they would not see it until it changed them. A client that is not
  // there for them (not available, hidden) is news to nobody.
  sender->TakeStatus(login.Status, login.Description, true);
  std::string cp1250 = Utf8ToCp1250(login.Description);
  if (IsShownOnline(login.Status)) AnnounceStatus(sender, AnnouncedStatus(login.Status), cp1250, login.Description);
  Log(GG_CP1250("%d>status przy logowaniu %x \"%s\""), login.Uin, login.Status, EscapeControlChars(cp1250));
  DeliverKept(sender);
}

void TGgSession::NewStatus80(TGgClient* sender, int32_t type, std::string_view payload) {
  TGgNewStatus status;
  if (!ReadNewStatus80(payload, status)) return Reject(sender, type, payload);
  int32_t uin = sender->Uin();
  std::string cp1250 = Utf8ToCp1250(status.Description);
  ChangeStatus(sender, status.Status, status.Description, true, cp1250, payload.size());
  Log(GG_CP1250("%d>użytkownik zmienił status na %x z opisem \"%s\" (paczka o długości %d)"), uin, status.Status,
      EscapeControlChars(cp1250), payload.size());
}

void TGgSession::NewerMessage(TGgClient* sender, int32_t type, std::string_view payload) {
  TGgSentMessage m;
  bool is80 = type == kSendMsg80;
  if (!(is80 ? ReadSendMsg80(payload, m) : ReadSendMsg110(payload, m))) return Reject(sender, type, payload);
  // The plain part goes to 6.0 clients and the log in Windows-1250; an 11 client's is UTF-8,
  // and a message with no plain part is read from its HTML.
  std::string cp1250;
  if (m.Plain.empty() && !m.Html.empty())
    cp1250 = Utf8ToCp1250(HtmlToText(m.Html));
  else
    cp1250 = is80 ? std::string(m.Plain) : Utf8ToCp1250(m.Plain);
  std::string html;
  if (m.Html.empty()) html = TextToHtml(is80 ? Cp1250ToUtf8(m.Plain) : std::string(m.Plain));
  PassMessage(sender, m.Recipient, m.Sequence,
              {cp1250, m.Html.empty() ? std::string_view(html) : m.Html, m.Class, m.Attributes});
}

void TGgSession::MessageAck(TGgClient* sender, int32_t type, std::string_view payload) {
  TGgReader r(payload);
  uint32_t sequence = r.U32();
  if (!r.Ok()) return Reject(sender, type, payload);
  Log(GG_CP1250("%d>potwierdzenie odebrania wiadomości %d"), sender->Uin(), sequence);
}

void TGgSession::Typing(TGgClient* sender, int32_t type, std::string_view payload) {
  TGgTyping typing;
  if (!ReadTyping(payload, typing)) return Reject(sender, type, payload);
  int32_t uin = sender->Uin();
  Log(GG_CP1250("%d>powiadomienie o pisaniu dla %d (długość %d)"), uin, typing.Uin, typing.Length);
  // Only the newer clients know the packet; it goes on with the sender's number.
  TGgClient* found = FindClientByUin(typing.Uin);
  if (found != nullptr && IsNewer(found->Dialect)) SendPacket(found, kTypingNotify, TypingPayload(typing.Length, uin));
}

void TGgSession::Reject(TGgClient* sender, int32_t type, std::string_view payload) {
  Log(GG_CP1250("%d>błędna paczka %d o długości %d, połączenie zamknięte"), sender->Uin(), type, payload.size());
  sender->Close();
}

}  // namespace ordwin
