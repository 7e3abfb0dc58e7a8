// TGgClient: one GG connection, created and owned by the GG listener's socket server. Carries the
// bytes that wait to form whole packets and the session fields of the client on the other end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "gg/GgDialect.h"
#include "gg/GgLimits.h"
#include "net/WSocketS.h"

namespace ordwin {

class TGgClientIndex;

class TGgClient : public TWSocketClient {
public:
  // The owner must be the listening server (or none); reads once per readiness report.
  explicit TGgClient(TComponent* owner);
  ~TGgClient() override;

  // When set, the listener raises OnClientDataAvailable for every chunk read.
  bool ReportRawData = true;
  // Received bytes not yet consumed as whole packets.
  std::string RecvBuffer;
  // A packet too long to hold that the framing reads and drops: its type, the length its header
  // declared, the bytes still to come and the first bytes kept of it.
  struct TLongPacket {
    int32_t Type;
    int32_t Length;
    uint32_t Left;
    std::string Head;
  };
  std::unique_ptr<TLongPacket> LongPacket;

  // The client's GG number (0 until it logs in) and its last status word, as sent.
  int32_t Uin() const { return uin_; }
  void SetUin(int32_t value);
  uint32_t Status = 0;
  // The contact-notification reply being collected, and the uploaded contact list.
  std::string NotifyReply;
  std::string UserList;

  // The protocol generation the client logged in with (6.0 until it logs in), and whether it
  // has logged in at all.
  TGgDialect Dialect = gdGg60;
  bool LoggedIn = false;
  // The description of the client's last status, as it sent it: Windows-1250 or, when
  // DescriptionIsUtf8, UTF-8.
  std::string Description;
  bool DescriptionIsUtf8 = false;
  // Takes a status word with its description, held as it came (UTF-8 when utf8).
  void TakeStatus(uint32_t word, std::string_view description, bool utf8) {
    Status = word;
    Description.assign(description);
    DescriptionIsUtf8 = utf8;
  }

  // When the connection was attached and when the client last sent anything; the end of the
  // quick check of this connection that a login with its number started (unset: none runs).
  TGgTime AcceptedAt{};
  TGgTime LastHeard{};
  TGgTime CheckEnds{};
  // The error its session closed with; 0 for an orderly close.
  uint16_t CloseError = 0;
  // Whether what is handed to the connection can reach the client, judged at now: it is
  // connected, and the client was heard from lately or its platform still acknowledges (a
  // system call). Inline: every message asks it of its recipient.
  bool Reachable(TGgTime now) const {
    return State() == wsConnected && (now - LastHeard < kRecentlyHeard || !PeerStoppedAcknowledging());
  }

  // The listener's lookup of connected clients by number; the client keeps it told of its Uin
  // until it is destroyed. Set by the listener when the connection is attached.
  void JoinIndex(TGgClientIndex* index, uint64_t acceptOrder);
  uint64_t AcceptOrder() const { return acceptOrder_; }

  // Told of each message acknowledged to its sender as delivered right after it is queued;
  // whether such a message still waits for the platform to take it.
  void NoteDeliveredMessage() { deliveredEnd_ = QueuedBytes(); }
  bool HoldsDeliveredMessage() const { return TakenBytes() < deliveredEnd_; }

  // ---- Published; nothing in the program uses it ----
  // When set, the next data-sent event shuts the sending direction down.
  bool ShutdownWhenSent = false;
  // Raised when the session closed without an error.
  TNotifyEvent OnConnectionClosed;
  // Handed to SendString on the data-sent event.
  std::string PendingOutput;
  // An auxiliary socket owned by the client; created and destroyed with it, never opened.
  TWSocket* AuxSocket = nullptr;
  virtual void CreateAuxSocket();
  virtual void FreeAuxSocket();
  // Sends PendingOutput and drops what was taken from its front; returns that count.
  virtual int FlushPendingOutput();

protected:
  // The client's own OnDataSent and OnSessionClosed: the first flushes PendingOutput; the second,
  // after an error, closes on a later turn, and otherwise raises OnConnectionClosed.
  virtual void ClientDataSent(TObject* sender, uint16_t error);
  virtual void ClientSessionClosed(TObject* sender, uint16_t error);
  // The inherited step (OnDataSent), then the shutdown that ShutdownWhenSent asked for.
  void DoDataSent(uint16_t error) override;

private:
  friend class TGgClientIndex;
  int32_t uin_ = 0;
  TGgClientIndex* index_ = nullptr;
  // The clients of the index before and after this one, in accept order, of all and of those
  // with its number.
  TGgClient* previousJoined_ = nullptr;
  TGgClient* nextJoined_ = nullptr;
  TGgClient* previousSameUin_ = nullptr;
  TGgClient* nextSameUin_ = nullptr;
  uint64_t acceptOrder_ = 0;
  uint64_t deliveredEnd_ = 0;  // QueuedBytes just after the last message acknowledged as delivered
};

}  // namespace ordwin
