// TGgSession: the window's GG handlers, the server side of the GG session. Owns the GG listener
// RIDuziva; answers each packet, relays presence and messages between the connected clients,
// each in the packets of the dialect it logged in with (6.0, 8.0 or 11), and writes one Polish
// log line (Windows-1250 bytes) per packet, and one per connection turned away, through the
// given sink.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "gg/GgLogFormat.h"
#include "gg/GgMessageStore.h"
#include "gg/GgServerPackets.h"
#include "gg/RIDuziva.h"
#include "net/NotificationEndpoint.h"

namespace ordwin {

class TGgSession final : private INotificationTarget {
public:
  // Receives each log line as Windows-1250 bytes, valid only during the call, and how many of its
  // first bytes are a head that the next lines are likely to repeat (0 for none): a message's
  // line begins with its sender and recipient, the same for a conversation's run of messages.
  using TLogSink = std::function<void(std::string_view cp1250Line, size_t repeatedHead)>;

  // Past these a connection is closed: no GG client collects a notify reply or stores a contact
  // list of this size, and without a bound one connection could hold any amount of memory.
  static constexpr size_t kMaxNotifyReply = 256 * 1024;
  static constexpr size_t kMaxUserList = 1024 * 1024;
  // Past this many bytes waiting unsent on a connection (its peer reads nothing, and what others
  // send it would otherwise pile up in memory) messages to it are answered as undelivered, and
  // other packets abort it, unless a message acknowledged as delivered still waits in its
  // queue: those packets are then dropped instead. Above the largest answer (a list).
  static constexpr size_t kMaxUnsent = 4 * 1024 * 1024;
  // Before its login a connection may hold this much of a notify reply, and of packets unsent
  // (a few of the largest, which the others' news can bring it before its login is read), and no
  // contact list: a GG client logs in first of all, and one that does not could make the server
  // hold memory for nothing.
  static constexpr size_t kMaxHeldBeforeLogin = 64 * 1024;
  static constexpr size_t kMaxUnsentBeforeLogin = 256 * 1024;

  explicit TGgSession(TLogSink log);
  // Destroys RIDuziva, which closes every GG connection without disconnect events; kept messages
  // the platform took whole on the way leave the store.
  ~TGgSession();
  TGgSession(const TGgSession&) = delete;
  TGgSession& operator=(const TGgSession&) = delete;

  // Starts RIDuziva listening. A port that cannot be opened leaves the session without GG
  // service; the log says so, and the reason is returned (empty when listening).
  std::string Start();
  // Once started, has RIDuziva take GG clients over TLS with context on port tlsPort as well;
  // the log says so with the certificate's names and fingerprint, or that the port cannot be
  // opened, whose reason is returned (empty when listening). A connection whose TLS fails is
  // logged with the reason when it closes.
  std::string StartTls(std::shared_ptr<const TTlsContext> context, int32_t tlsPort = kGgTlsPort);
  TRiDuziva& RIDuziva() const { return *riDuziva_; }

  // Queues one packet, header and payload, on the client's connection; nothing for a closed
  // connection. The packets queued for each connection during a turn of the loop go out
  // together when the turn ends, in the order they were queued (TCustomWSocket::SendAtTurnEnd).
  // A packet that would make the connection hold more unsent than its bound (kMaxUnsent, before
  // its login kMaxUnsentBeforeLogin) aborts it instead, or is dropped while a message
  // acknowledged as delivered waits in its queue.
  void SendPacket(TGgClient* client, int32_t type, std::string_view payload);
  // The client with this number that was accepted first among those that can be reached, or
  // nullptr. A connection that has closed but is not yet released counts as gone, and so does one
  // whose peer has stopped acknowledging (TGgClient::Reachable).
  TGgClient* FindClientByUin(int32_t number) const { return riDuziva_->FindReachableClient(number); }

  // Where a message to a number with no connection waits for that number's next log-in; with
  // none (the default) such a message is answered as undelivered. The store must outlive the
  // session, or be taken away first (nullptr).
  void SetMessageStore(TGgMessageStore* store) { store_ = store; }

private:
  // The listener's events. The command handler dispatches through one table (kRoutes); the
  // disconnect handler tells the others of a client that left while they saw it online.
  void RIDuzivaClientConnect(TObject* sender, TGgClient* client);
  void RIDuzivaClientCommand(TGgClient* aSender, int32_t aCommand, std::string_view aZawartosc);
  void RIDuzivaClientDataAvailable(TObject* sender, TGgClient* client, const std::string& data);
  void RIDuzivaClientDisconnect(TObject* sender, TGgClient* client);
  void RIDuzivaServerClosed(TObject* sender, uint16_t error);
  // The listener is about to close a client past a limit: the log says why.
  void RIDuzivaClientExpired(TObject* sender, TGgClient* client, TGgExpiry why);

  // A handler of one packet type: the sending client, the type and the payload.
  using THandler = void (TGgSession::*)(TGgClient* sender, int32_t type, std::string_view payload);
  // One row of the dispatch table: a packet type, the dialects whose clients send it (a bit
  // each), and its handler. A type that is not in the sender's dialect is an unknown one.
  struct TRoute {
    int32_t Type;
    uint8_t Dialects;
    THandler Handler;
  };
  static const TRoute kRoutes[];
  static const TRoute* FindRoute(int32_t type);

  // Delivered to the session's own endpoint in the finish phase of a turn in which kept messages
  // were taken: they leave the store.
  static constexpr uint32_t WM_FORGET_TAKEN = 1101;
  void HandleMessage(TMessage& msg) override;
  // Formats one log line (see GgLogFormat.h) into a buffer kept for the next, and hands it on.
  template <class... TArgs>
  void Log(std::string_view cp1250Format, const TArgs&... values) {
    line_.clear();
    GgFormatInto(line_, cp1250Format, values...);
    log_(line_, 0);
  }

  // The 6.0 packets, and those every dialect shares (GgSession.cpp, GgContacts.cpp).
  void Ping(TGgClient* sender, int32_t type, std::string_view payload);
  void PubdirRequest(TGgClient* sender, int32_t type, std::string_view payload);
  void Unknown(TGgClient* sender, int32_t type, std::string_view payload);
  void Login(TGgClient* sender, int32_t type, std::string_view payload);
  void StatusChange(TGgClient* sender, int32_t type, std::string_view payload);
  void SendMessage(TGgClient* sender, int32_t type, std::string_view payload);
  // Notify-list parts, the empty list and (6.0) the removal of a contact: 14 to 18, 0x77 to 0x79.
  void NotifyList(TGgClient* sender, int32_t type, std::string_view payload);
  // One contact added (13, 0x7b: answered with its entry when it is connected) or removed (0x7c).
  void NotifyChange(TGgClient* sender, int32_t type, std::string_view payload);
  void ContactListRequest(TGgClient* sender, int32_t type, std::string_view payload);
  // Packets of the newer dialects (GgNewerSession.cpp).
  void NewerLogin(TGgClient* sender, int32_t type, std::string_view payload);
  void NewStatus80(TGgClient* sender, int32_t type, std::string_view payload);
  void NewerMessage(TGgClient* sender, int32_t type, std::string_view payload);
  void MessageAck(TGgClient* sender, int32_t type, std::string_view payload);
  void Typing(TGgClient* sender, int32_t type, std::string_view payload);
  // A packet past the framing's bound (see TRiDuziva): a message is refused (logged, and
  // acknowledged as not delivered) and the connection stays; any other is logged as the
  // framing closes its connection.
  void LongPacket(TGgClient* sender, int32_t type, int32_t length, const std::string& head);
  // A packet the sender's dialect sends but that cannot be read whole: logged, and the
  // sender's connection closed.
  void Reject(TGgClient* sender, int32_t type, std::string_view payload);

  // The steps of a status change that every dialect takes once its packet is read: the client
  // takes the status and its description (UTF-8 when descriptionIsUtf8), a friends-only status
  // is answered with a server message, the state's line is logged, and the others are told; a
  // log-off (a newer client answered first with 0x0d) closes the connection. tail60 as for
  // AnnounceStatus; length is the packet's, for the log.
  void ChangeStatus(TGgClient* sender, uint32_t word, std::string_view description, bool descriptionIsUtf8,
                    std::string_view tail60, size_t length);
  // Logs the line of a status word's state; true for a log-off (1 or 21).
  bool LogStatusWord(int32_t uin, uint32_t word, size_t length);
  // Adds the numbers of a notify-list part to the sender's reply; false when the part could not
  // be read (and the connection was closed).
  bool NotifyListPart(TGgClient* sender, int32_t type, std::string_view payload);
  // Appends a connected contact's entry to the sender's notify reply; false (and the sender's
  // connection closed) when the reply would pass its bound.
  bool AddNotifyEntry(TGgClient* sender, const TGgClient* contact);
  // Sends notify-reply entries: one type 17, or 0x37 packets within the newer bound.
  void SendNotifyReply(TGgClient* client, const std::string& entries);
  void SendContactList(TGgClient* client);

  // SendPacket for a packet already put together: its bytes are head, then rest.
  void QueuePacket(TGgClient* client, std::string_view head, std::string_view rest = {});
  // What goes to each client in the packets of its own dialect (GgDelivery.cpp).
  // Tells every client without the sender's number of its status code, with the description as
  // tail60 (what follows the 14-byte head of a 6.0 notification) and as UTF-8.
  void AnnounceStatus(TGgClient* sender, uint32_t code, std::string_view tail60, std::string_view utf8Description);
  // What a message carries, as it is passed on: its text in Windows-1250, the UTF-8 HTML part
  // for the newer dialects (empty: made from the text), its class and its attributes.
  struct TMessageBody {
    std::string_view Cp1250Text;
    std::string_view Html;
    int32_t Class = 0;
    std::string_view Attributes;
  };
  // Logs a message, acknowledges it to its sender and hands it to the recipient, or tells the
  // sender that nobody has the number; one that cannot reach the recipient whole is refused
  // (logged, acknowledged as not delivered).
  void PassMessage(TGgClient* sender, int32_t recipient, int32_t sequence, const TMessageBody& body);
  // The acknowledgement of a message (type 5): a 6.0 one names the sender itself, a newer one
  // the recipient.
  void Acknowledge(TGgClient* sender, int32_t recipient, int32_t sequence, int32_t status);
  void DeliverMessage(TGgClient* recipient, int32_t senderUin, const TMessageBody& body);
  // Makes message_ the packet, header and all, that hands a message to recipient in its dialect;
  // false when the message cannot reach that dialect whole (its HTML part, or for 6.0 its text,
  // too long for one packet).
  // The time is when the message arrived; 0 for one passed on at once (6.0 packets then carry 0,
  // the newer ones the present time).
  bool MakeMessagePacket(TGgClient* recipient, int32_t senderUin, const TMessageBody& body, int64_t time = 0);
  // MakeMessagePacket for a recipient of a newer dialect (type 0x2e).
  bool MakeMessagePacket80(int32_t senderUin, const TMessageBody& body, int64_t time);
  void SendServerMessage(TGgClient* client, std::string_view cp1250Text);
  // A client whose connection ended while logged in and shown online (IsShownOnline): announced
  // as if it had sent status 1.
  void AnnounceGone(TGgClient* client);
  // Tells the others that client leaves with this status. While another logged-in connection
  // keeps its number, they are told that connection's status instead, or nothing when it has
  // told none: a person on two devices is not shown as gone when one of them goes.
  void AnnounceLeaving(TGgClient* client, uint32_t code, std::string_view tail60, std::string_view utf8Description);
  // The steps of a login that every dialect takes once its packet is read. On a connection
  // that is logged in already the old number logs off first (the others are told as for a
  // log-off) and the new login starts without a status; the number's other connections, if
  // any, are checked for life. Then the connection speaks dialect, the login is logged with
  // cp1250Line (its number the one value), answered with login-ok and starts a fresh notify
  // reply.
  void AcceptLogin(TGgClient* client, int32_t uin, TGgDialect dialect, std::string_view cp1250Line);

  // Messages kept for numbers with no connection (GgKeptMessages.cpp). KeepMessage stores one
  // and logs it; false when it is not to be kept (no store, a sender not logged in, number 0,
  // the sender's own number, an HTML part too long for a newer recipient) or the store refused
  // it.
  bool KeepMessage(TGgClient* sender, int32_t recipient, const TMessageBody& body);
  // Queues, after a log-in, the messages kept for the client's number, unless another open
  // connection with that number is still taking them.
  void DeliverKept(TGgClient* client);
  // A client taking kept messages sent bytes: those messages it took whole are noted, to leave
  // the store at the end of the turn.
  void NoteKeptTaken(TGgClient* client);
  void ForgetTaken();
  void DropKeptCarrier(TGgClient* client);

  // Per number whose kept messages are being handed over: the connection taking them, each
  // message's row with the count of that connection's queued bytes up to its end, and the
  // last row taken whole and not yet removed from the store.
  struct TKeptInFlight {
    int64_t Row;
    uint64_t End;
  };
  struct TKeptDelivery {
    TGgClient* Client = nullptr;
    std::deque<TKeptInFlight> Rows;
    int64_t Taken = 0;
  };

  TLogSink log_;
  std::string line_;
  TGgMessageLine messageLine_;
  std::string message_;  // kept between messages: no allocation for each
  std::unique_ptr<TRiDuziva> riDuziva_;
  TNotificationEndpoint endpoint_{this};
  TGgMessageStore* store_ = nullptr;
  std::unordered_map<int32_t, TKeptDelivery> kept_;
  bool forgetPosted_ = false;
};

}  // namespace ordwin
