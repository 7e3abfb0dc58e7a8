// TGgSession: the window's GG handlers, the server side of the GG session. Owns the GG listener
// RIDuziva; answers each packet, relays presence and messages between the connected clients,
// and writes one Polish log line (Windows-1250 bytes) per packet through the given sink.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "gg/GgLogFormat.h"
#include "gg/RIDuziva.h"
#include "net/NotificationEndpoint.h"

namespace ordwin {

class TGgSession final : private INotificationTarget {
public:
  // Receives each log line as Windows-1250 bytes; the text is valid only during the call.
  using TLogSink = std::function<void(std::string_view Cp1250Line)>;

  // Past these a connection is closed: no GG client collects a notify reply or stores a contact
  // list of this size, and without a bound one connection could hold any amount of memory.
  static constexpr size_t kMaxNotifyReply = 256 * 1024;
  static constexpr size_t kMaxUserList = 1024 * 1024;
  // A connection whose peer lets more than this wait unsent is aborted: it reads nothing, and
  // what others send it would otherwise pile up in memory. Above the largest answer (a list).
  static constexpr size_t kMaxUnsent = 4 * 1024 * 1024;

  explicit TGgSession(TLogSink Log);
  // Destroys RIDuziva, which closes every GG connection without disconnect events.
  ~TGgSession();
  TGgSession(const TGgSession&) = delete;
  TGgSession& operator=(const TGgSession&) = delete;

  // Starts RIDuziva listening; a port that cannot be opened leaves the session without GG
  // service and says nothing.
  void Start();
  TRiDuziva& RIDuziva() const { return *riDuziva_; }

  // The listener's events.
  void RIDuzivaClientConnect(TObject* Sender, TGgClient* Client);
  void RIDuzivaClientCommand(TGgClient* ASender, int32_t ACommand, const std::string& AZawartosc);
  void RIDuzivaClientDataAvailable(TObject* Sender, TGgClient* Client, const std::string& Data);
  void RIDuzivaClientDisconnect(TObject* Sender, TGgClient* Client);
  void RIDuzivaServerClosed(TObject* Sender, uint16_t Error);

  // Queues one packet, header and payload, on the client's connection; nothing for a closed
  // connection. The packets queued for each connection during a turn of the loop go out
  // together when the turn ends, in the order they were queued. A connection that would hold
  // more than kMaxUnsent bytes unsent is aborted instead.
  void SendPacket(TGgClient* Client, int32_t Type, const std::string& Payload);
  // The connected client with this number that was accepted first, or nullptr. A connection
  // that has closed but is not yet released counts as gone.
  TGgClient* FindClientByUin(int32_t Number) const;

private:
  // The end of the turn: hands every connection its queued packets.
  void HandleMessage(TMessage& Msg) override;
  // Formats one log line (see GgLogFormat.h) into a buffer kept for the next, and hands it on.
  template <class... Args>
  void Log(std::string_view Cp1250Format, const Args&... A) {
    line_.clear();
    GgFormatInto(line_, Cp1250Format, A...);
    log_(line_);
  }
  void Login(TGgClient* Sender, const std::string& Payload);
  void StatusChange(TGgClient* Sender, const std::string& Payload);
  void SendMessage(TGgClient* Sender, const std::string& Payload);
  void SendServerMessage(TGgClient* Client, std::string_view Cp1250Text);
  void NotifyListPart(TGgClient* Sender, const std::string& Payload);
  void NotifyList(TGgClient* Sender, int32_t Type, const std::string& Payload);
  void ContactListRequest(TGgClient* Sender, const std::string& Payload);

  TLogSink log_;
  std::string line_;
  std::unique_ptr<TRiDuziva> riDuziva_;
  TNotificationEndpoint endpoint_{this};
  bool flushPosted_ = false;
};

// The 14-byte head of a status notification (type 15), also one entry of a notify reply: the
// number, the low byte of the status, nine zero bytes.
std::string StatusEntry(int32_t Uin, uint32_t Code);

// The received-message payload (type 10): sender, a fresh sequence number, time 0, class 4, the
// text and its NUL.
std::string ReceivedMessagePayload(int32_t SenderUin, int32_t Sequence, std::string_view Text);

}  // namespace ordwin
