// What the load generator's clients send and how they check what arrives: log-ins, messages in
// pairs with their acknowledgements and receipts, and status changes with their notifications.
#include <algorithm>
#include <cstring>

#include "bench/ggload/GgLoadGenerator.h"
#include "bench/ggload/GgLoadPackets.h"
#include "gg/GgPacketTypes.h"
#include "gg/GgStatus.h"

namespace ordwin::bench {

using namespace ggpacket;
using namespace ggstatus;

size_t TGgLoadGenerator::Packets(size_t i, const char* p, size_t len, int64_t now) {
  TConn& c = conns_[i];
  bool pairs60 = mode_ == TMode::mdPairs && !newer_;
  size_t at = 0;
  while (len - at >= kHeader) {
    int32_t type = GetLe(p + at);
    int32_t length = GetLe(p + at + 4);
    if (length < 0) {
      Fault("client " + std::to_string(c.Uin) + ": packet with negative length");
      CloseConn(c);
      return at;
    }
    if (len - at - kHeader < static_cast<size_t>(length)) break;
    const char* payload = p + at + kHeader;
    // A relay's two packets are taken here; neither can close the connection.
    if (pairs60 && type == kRecvMsg) {
      Message(i, payload, static_cast<size_t>(length), now);
    } else if (pairs60 && type == kSendMsgAck) {
      Ack(i, payload, static_cast<size_t>(length));
    } else {
      Packet(i, type, payload, static_cast<size_t>(length), now);
      if (c.Fd < 0) return at;
    }
    at += kHeader + static_cast<size_t>(length);
  }
  return at;
}

void TGgLoadGenerator::Packet(size_t i, int32_t type, const char* p, size_t len, int64_t now) {
  TConn& c = conns_[i];
  switch (type) {
    case kWelcome:
      if (c.State != TConnState::csConnecting || len != 4) return Unexpected(c, type, len);
      --awaitingWelcome_;
      c.State = TConnState::csLoggingIn;
      if (newer_)
        PutLogin105(c.Out, c.Uin);
      else
        PutLogin60(c.Out, c.Uin);
      MarkDirty(i);
      return;
    case kLoginOk:
      if (c.State != TConnState::csLoggingIn || len != 0) return Unexpected(c, type, len);
      c.State = TConnState::csReady;
      ++ready_;
      if (mode_ == TMode::mdLogin) latencies_.Add(now - c.OpenedAt);
      return;
    case kSendMsgAck:
      if (mode_ != TMode::mdPairs) return Unexpected(c, type, len);
      return Ack(i, p, len);
    case kRecvMsg:
    case kRecvMsg80:
      if (mode_ != TMode::mdPairs || (type == kRecvMsg80) != newer_) return Unexpected(c, type, len);
      return Message(i, p, len, now);
    case kStatusNotify:
    case kStatus80:
      if (mode_ != TMode::mdFanout || (type == kStatus80) != newer_) return Unexpected(c, type, len);
      return Notification(c, p, len, now);
    default:
      return Unexpected(c, type, len);
  }
}

void TGgLoadGenerator::Unexpected(const TConn& c, int32_t type, size_t len) {
  Fault("client " + std::to_string(c.Uin) + ": unexpected packet type " + std::to_string(type) + " of " +
        std::to_string(len) + " bytes");
}

// Called as client i's write is made, once a turn: every message delivered in the turn is
// replaced at once. A 6.0 client with nothing else queued makes its messages in the send buffer
// and sends them from there; only what the platform does not take is kept.
void TGgLoadGenerator::FillWindow(size_t i, int64_t now) {
  TConn& c = conns_[i];
  if (!sending_ || c.Partner < 0) return;
  const TConn& p = conns_[static_cast<size_t>(c.Partner)];
  if (c.NextSend - p.NextRecv >= window_) return;
  uint32_t room = window_ - (c.NextSend - p.NextRecv);
  uint32_t first = c.NextSend;
  c.NextSend += room;
  for (uint32_t seq = first; seq != c.NextSend; ++seq) c.SentAt[seq & sentMask_] = now;
  if (newer_) {
    for (uint32_t seq = first; seq != c.NextSend; ++seq) PutSendMsg110(c.Out, p.Uin, seq, c.Texts);
    return;
  }
  size_t bytes = room * kSendMsg60Length;
  if (!c.Out.empty()) {
    size_t at = c.Out.size();
    c.Out.resize(at + bytes);
    return c.Texts.PutSendMsg60(&c.Out[at], first, room);
  }
  if (sendBuf_.size() < bytes) sendBuf_.resize(bytes);
  c.Texts.PutSendMsg60(sendBuf_.data(), first, room);
  SendNow(i, sendBuf_.data(), bytes);
}

// A 6.0 acknowledgement names the sender itself, a newer one the recipient.
void TGgLoadGenerator::Ack(size_t i, const char* p, size_t len) {
  TConn& c = conns_[i];
  int32_t named = newer_ ? conns_[static_cast<size_t>(c.Partner)].Uin : c.Uin;
  if (len != 12) return Misacknowledged(c, p, len, named);
  uint32_t seq = static_cast<uint32_t>(GetLe(p + 8));
  if (GetLe(p) != kAckDelivered || GetLe(p + 4) != named || seq != c.NextAck) Misacknowledged(c, p, len, named);
  if (seq >= c.NextAck) c.NextAck = seq + 1;
}

void TGgLoadGenerator::Misacknowledged(const TConn& c, const char* p, size_t len, int32_t named) {
  if (len != 12)
    return Fault("client " + std::to_string(c.Uin) + ": acknowledgement of " + std::to_string(len) + " bytes");
  Fault("client " + std::to_string(c.Uin) + ": acknowledgement status " + std::to_string(GetLe(p)) + ", number " +
        std::to_string(GetLe(p + 4)) + ", sequence " + std::to_string(static_cast<uint32_t>(GetLe(p + 8))) +
        "; expected status 2, number " + std::to_string(named) + ", sequence " + std::to_string(c.NextAck));
}

void TGgLoadGenerator::Message(size_t i, const char* p, size_t len, int64_t now) {
  TConn& c = conns_[i];
  size_t senderIdx = static_cast<size_t>(c.Partner);
  TConn& s = conns_[senderIdx];
  ++c.Received;
  const char* text = newer_ ? Text80(p, len) : Text60(p, len);
  if (text == nullptr || GetLe(p) != s.Uin) return Malformed(c, p, len);
  // Checked against the message due; any other text is read to be reported.
  uint32_t seq = c.NextRecv;
  bool due = s.Texts.Matches(text, seq);
  if (!due && !ParseSeq(text, kTextLength, seq)) return Malformed(c, p, len);
  if (newer_) {  // libgadu answers every message with a receipt
    PutRecvMsgAck(c.Out, GetLe(p + 4));
    MarkDirty(i);
  }
  if ((!due || (newer_ && !s.Texts.Matches(p + kRecvMsg80Head + 6, seq))) && !Stray(c, s, p, text, seq)) return;
  if (seq == c.NextRecv && now >= measureFrom_ && now < measureTo_) {
    ++windowCount_;
    latencies_.Add(now - s.SentAt[seq & sentMask_]);
  }
  c.NextRecv = seq + 1;
  MarkDirty(senderIdx);
}

// Reports a message's altered text, or its place where it is not the one due; false where it
// came before (a duplicate or late), so that it does not count again.
bool TGgLoadGenerator::Stray(const TConn& c, TConn& s, const char* p, const char* text, uint32_t seq) {
  if (!s.Texts.Matches(text, seq) || (newer_ && !s.Texts.Matches(p + kRecvMsg80Head + 6, seq)))
    Fault("client " + std::to_string(c.Uin) + ": text of message " + std::to_string(seq) + " altered");
  if (seq == c.NextRecv) return true;
  Fault("client " + std::to_string(c.Uin) + ": message " + std::to_string(seq) + " from " + std::to_string(s.Uin) +
        " where " + std::to_string(c.NextRecv) + " was due (" + (seq < c.NextRecv ? "duplicate or late" : "gap") + ")");
  return seq > c.NextRecv;
}

void TGgLoadGenerator::Malformed(const TConn& c, const char* p, size_t len) {
  Fault("client " + std::to_string(c.Uin) + ": malformed or misrouted message of " + std::to_string(len) +
        " bytes from " + std::to_string(len >= 4 ? GetLe(p) : 0));
}

bool TGgLoadGenerator::AllDelivered() const {
  for (const TConn& c : conns_)
    if (c.Fd >= 0 && (conns_[static_cast<size_t>(c.Partner)].NextRecv != c.NextSend || c.NextAck != c.NextSend))
      return false;
  return true;
}

void TGgLoadGenerator::FillFanout(int64_t now) {
  TConn& c = conns_[0];
  bool any = false;
  while (sending_ && fanNext_ - fanDone_ < fanWindow_) {
    uint32_t seq = fanNext_++;
    uint32_t status = seq % 2 ? kBusyWithText : kAvailableWithText;
    if (newer_)
      PutNewStatus80(c.Out, status, seq);
    else
      PutNewStatus60(c.Out, status, seq);
    fanSentAt_[seq % fanWindow_] = now;
    fanSeen_[seq % fanWindow_] = 0;
    any = true;
  }
  if (any) MarkDirty(0);
}

void TGgLoadGenerator::Notification(TConn& c, const char* p, size_t len, int64_t now) {
  ++c.Received;
  uint32_t seq = 0;
  // 6.0: number, code byte, nine zeros, description. 11: number, code, 16 zeros, length, description.
  size_t head = newer_ ? kStatus80Head : kNotifyHead;
  size_t zerosFrom = newer_ ? 8 : 5, zerosTo = newer_ ? kStatus80Head - 4 : kNotifyHead;
  bool zeros = len >= head && std::all_of(p + zerosFrom, p + zerosTo, [](char b) { return b == 0; });
  bool lengthRight = !newer_ || (len >= head && GetLe(p + head - 4) == static_cast<int32_t>(kSeqDigits));
  if (len != head + kSeqDigits || !zeros || !lengthRight || GetLe(p) != conns_[0].Uin ||
      !ParseSeq(p + head, kSeqDigits, seq))
    return Fault("client " + std::to_string(c.Uin) + ": malformed status notification of " + std::to_string(len) +
                 " bytes");
  uint32_t code = newer_ ? static_cast<uint32_t>(GetLe(p + 4)) : static_cast<unsigned char>(p[4]);
  if (code != (seq % 2 ? kBusyWithText : kAvailableWithText))
    Fault("client " + std::to_string(c.Uin) + ": status change " + std::to_string(seq) + " announced with code " +
          std::to_string(code));
  if (seq != c.NextRecv) {
    Fault("client " + std::to_string(c.Uin) + ": status change " + std::to_string(seq) + " where " +
          std::to_string(c.NextRecv) + " was due");
    if (seq < c.NextRecv || seq >= fanNext_) return;
  }
  c.NextRecv = seq + 1;
  if (now >= measureFrom_ && now < measureTo_) {
    ++windowCount_;
    latencies_.Add(now - fanSentAt_[seq % fanWindow_]);
  }
  if (seq - fanDone_ < fanWindow_ && ++fanSeen_[seq % fanWindow_] == conns_.size() - 1) {
    // Changes complete in order at every receiver, so the oldest completes first.
    while (fanDone_ < fanNext_ && fanSeen_[fanDone_ % fanWindow_] == conns_.size() - 1) {
      fanSeen_[fanDone_ % fanWindow_] = 0;
      ++fanDone_;
    }
    FillFanout(now);
  }
}

}  // namespace ordwin::bench
