// The send queue of TCustomWSocket: bytes wait in 1514-byte chunks until the platform takes them,
// sent at once or in the send phase at the end of the turn.
#include "net/CustomWSocket.h"

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>

#include "net/FlagScope.h"
#include "net/SelectEvents.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

bool IsConnectionLoss(int code) {
  return code == WSAECONNRESET || code == WSAENOTSOCK || code == WSAENOTCONN || code == WSAEINVAL ||
         code == WSAECONNABORTED;
}

}  // namespace

int TCustomWSocket::Send(const void* data, int len) {
  if (state_ != wsConnected) {
    ReportSocketError("Send", WSAENOTCONN);
    return -1;
  }
  sendQueueEmpty_ = false;
  int result = 0;
  if (len > 0) {
    result = len;
    QueueBytes(data, len);
  }
  TryToSend();
  // Everything went out at once: the write report comes on a later turn, never inside Send.
  if (sendQueueEmpty_ && handle_.Valid()) Loop().PostReport(handle_.Get(), FD_WRITE);
  return result;
}

int TCustomWSocket::SendString(const std::string& str) {
  if (str.empty()) return 0;
  return Send(str.data(), static_cast<int>(str.size()));
}

void TCustomWSocket::QueueData(const std::string& str) { QueueBytes(str.data(), static_cast<int>(str.size())); }

bool TCustomWSocket::QueueForTurnEnd(std::string_view head, std::string_view rest) {
  if (state_ != wsConnected || !SendFits(head.size() + rest.size())) return false;
  QueueBytes(head.data(), static_cast<int>(head.size()));
  if (!rest.empty()) QueueBytes(rest.data(), static_cast<int>(rest.size()));
  sendsAtTurnEnd_ = true;
  if (!turnEndAsked_) {
    turnEndAsked_ = true;
    endpoint_.AtTurnEnd(tpSend, WM_SEND_AT_TURN_END);
  }
  return true;
}

void TCustomWSocket::SendTurnEndQueue() {
  turnEndAsked_ = false;
  if (state_ != wsConnected) return;
  RunGuarded([&] { Send(nullptr, 0); });
}

void TCustomWSocket::QueueBytesInChunks(const void* data, int len) {
  if (len <= 0) return;
  const char* p = static_cast<const char*>(data);
  sendQueueBytes_ += static_cast<size_t>(len);
  queuedBytes_ += static_cast<uint64_t>(len);
  if (sendQueue_.empty()) sendQueue_.emplace_back(kChunkSize);
  for (;;) {
    TBuffer& last = sendQueue_.back();
    if (!last.HasStorage()) last.AdoptStorage(ThreadShare().Chunks.Take(kChunkSize));
    int n = last.Write(p, len);
    if (n >= len) return;
    len -= n;
    p += n;
    sendQueue_.emplace_back(kChunkSize);
  }
}

void TCustomWSocket::ClearSendQueue() {
  sendQueue_.clear();
  sendQueueBytes_ = 0;
}

void TCustomWSocket::TrimSendQueue() {
  if (sendQueue_.size() == 1) ThreadShare().Chunks.Give(sendQueue_.front().Trim(), kChunkSize);
}

void TCustomWSocket::TryToSend() {
  if (!handle_.Valid() || sendQueue_.empty()) return;
  for (;;) {
    TBuffer& chunk = sendQueue_.front();
    int len = 0;
    const char* data = chunk.Peek(len);
    if (len <= 0) {
      if (sendQueue_.size() <= 1) {
        sendQueueEmpty_ = true;  // the last chunk stays for reuse
        return;
      }
      ThreadShare().Chunks.Give(chunk.Trim(), kChunkSize);
      sendQueue_.pop_front();
      continue;
    }
    // OnSendData waits until the chunk has dropped what went out: a handler that sends again
    // must find the queue as the platform left it.
    int n;
    if (!OnSendData && sendQueue_.size() > 1 && SocketType == SOCK_STREAM) {
      iovec parts[kGatheredChunks];
      int count = 0;
      len = 0;
      auto it = sendQueue_.begin();
      for (; it != sendQueue_.end() && count < kGatheredChunks; ++it) {
        int part = 0;
        const char* bytes = it->Peek(part);
        if (part <= 0) continue;
        parts[count++] = iovec{const_cast<char*>(bytes), static_cast<size_t>(part)};
        len += part;
      }
      moreQueued_ = it != sendQueue_.end();
      TFlagScope holding(holdSendData_);
      n = RawSendGathered(parts, count);
    } else {
      // Chunks that follow this one go out in the same segment rather than one segment each.
      moreQueued_ = sendQueue_.size() > 1;
      TFlagScope holding(holdSendData_);
      n = RawSend(data, len);
    }
    moreQueued_ = false;
    if (n == 0) return;
    if (n < 0) {
      int code = WSocketLastError();
      if (IsConnectionLoss(code)) {
        // The close must not report the loss itself: the owner hears it once, with its code,
        // unless it has heard of the close already.
        bool reported = sessionClosedFired_;
        sessionClosedFired_ = true;
        Close();
        if (!reported) DoSessionClosed(static_cast<uint16_t>(code));
        return;
      }
      if (code == WSAEWOULDBLOCK) {
        Loop().WatchWrite(handle_.Get());
        return;
      }
      return ReportSocketError("TryToSend failed", code);
    }
    DropSent(n);
    if (OnSendData) {
      NotifySendData(n);
      // The handler may have closed the connection, emptied the queue or sent more itself: the
      // next round finds out where things stand (a full platform answers would-block).
      if (!handle_.Valid() || sendQueue_.empty()) return;
      continue;
    }
    if (n < len) {
      // The platform is full: the rest goes out on the write report that room brings.
      Loop().WatchWrite(handle_.Get());
      return;
    }
  }
}

void TCustomWSocket::DropSent(int n) {
  sendQueueBytes_ -= static_cast<size_t>(n);
  for (auto it = sendQueue_.begin(); n > 0 && it != sendQueue_.end(); ++it) {
    int len = 0;
    it->Peek(len);
    n -= it->Remove(std::min(n, len));
  }
}

int TCustomWSocket::PlatformSendFlags() const { return MSG_NOSIGNAL | (sendFlags_ == wsSendUrgent ? MSG_OOB : 0); }

void TCustomWSocket::NotifySendData(ssize_t sent) {
  if (sent <= 0 || !OnSendData || holdSendData_) return;
  int saved = errno;  // the caller may still read the platform's error
  OnSendData(this, static_cast<int>(sent));
  errno = saved;
}

int TCustomWSocket::RawSendGathered(const iovec* parts, int count) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(parts);
  message.msg_iovlen = static_cast<size_t>(count);
  ssize_t n = ::sendmsg(handle_.Get(), &message, PlatformSendFlags() | (moreQueued_ ? MSG_MORE : 0));
  NotifySendData(n);
  return static_cast<int>(n);
}

int TCustomWSocket::RawSend(const void* data, int len) {
  ssize_t n;
  if (SocketType == SOCK_DGRAM)
    n = ::sendto(handle_.Get(), data, static_cast<size_t>(len), PlatformSendFlags(),
                 reinterpret_cast<const sockaddr*>(&LastAddress), sizeof(LastAddress));
  else
    n = ::send(handle_.Get(), data, static_cast<size_t>(len), PlatformSendFlags() | (moreQueued_ ? MSG_MORE : 0));
  NotifySendData(n);
  return static_cast<int>(n);
}

}  // namespace ordwin
