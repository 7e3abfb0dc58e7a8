#include "net/TlsWSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "net/SelectEvents.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

const std::string kNoError;

}  // namespace

TCustomTlsWSocket::TCustomTlsWSocket(TComponent* owner) : TCustomSocksWSocket(owner) {}

TCustomTlsWSocket::~TCustomTlsWSocket() {
  if (tls_) Loop().KillTimer(tls_->HandshakeTimer);
}

const std::string& TCustomTlsWSocket::TlsError() const { return tls_ ? tls_->Error : kNoError; }

void TCustomTlsWSocket::AcceptTls(std::shared_ptr<const TTlsContext> context, int handshakeLimitMs) {
  if (State() != wsConnected) return ReportSocketError("AcceptTls", WSAENOTCONN);
  EndSession();
  tls_ = std::make_unique<TTls>();
  tls_->Session = std::make_unique<TTlsSession>(std::move(context));
  tls_->HandshakeTimer = SetTimer(WM_TLS_HANDSHAKE_LIMIT, handshakeLimitMs);
}

void TCustomTlsWSocket::EndSession() {
  if (!tls_) return;
  Loop().KillTimer(tls_->HandshakeTimer);
  tls_->HandshakeTimer = 0;
  tls_->Session.reset();
  tls_->InFlight = 0;
}

void TCustomTlsWSocket::HandleNotification(TMessage& msg) {
  if (msg.Msg == WM_TLS_HANDSHAKE_LIMIT) {
    return RunGuarded([&] {
      // A timer that fired just before it was killed is not this handshake's.
      if (TlsHandshaking() && static_cast<uint64_t>(msg.WParam) == tls_->HandshakeTimer)
        FailTls("handshake time limit", WSAETIMEDOUT);
    });
  }
  const uint32_t events = SelectEvent(msg.LParam);
  if (msg.Msg != WM_ASYNCSELECT || !TlsActive() || static_cast<int>(msg.WParam) != HSocket() || Paused() ||
      (events & (FD_READ | FD_CLOSE)) == 0)
    return TCustomSocksWSocket::HandleNotification(msg);

  const uint32_t registration = Registration();
  bool open = false;
  RunGuarded([&] { open = ReadRecords(); });
  if (!open || Registration() != registration || !TlsActive()) return;
  const size_t before = tls_->Session->Plaintext().size();
  if (before == 0) msg.LParam = MakeSelectArg(events & ~FD_READ, SelectError(msg.LParam));
  if (SelectEvent(msg.LParam) != 0) TCustomSocksWSocket::HandleNotification(msg);
  if (Registration() != registration || !TlsActive()) return;
  const size_t after = tls_->Session->Plaintext().size();
  if (after > 0 && after < before) Loop().PostReport(HSocket(), FD_READ);
}

void TCustomTlsWSocket::ResetDefaults() {
  TCustomSocksWSocket::ResetDefaults();
  EndSession();
}

void TCustomTlsWSocket::FailTls(const std::string& why, uint16_t error) {
  tls_->Error = why;
  Loop().KillTimer(tls_->HandshakeTimer);
  SendOutput();  // the alert that says why, where the platform takes it
  // What waits to be sent can never go out now.
  ClearSendQueue();
  DoClose(true, error);
}

bool TCustomTlsWSocket::ReadRecords() {
  TTlsSession& session = *tls_->Session;
  const bool handshaking = session.Handshaking();
  char buffer[TTlsSession::kRecordLimit + 512];
  for (int total = 0; total < kReadLimit;) {
    // The end of the stream, or an error, ends the reading: the platform reports the close.
    int n = TCustomSocksWSocket::RawReceive(buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    total += n;
    if (!session.Receive(buffer, static_cast<size_t>(n))) {
      FailTls(session.Error(), WSAECONNABORTED);
      return false;
    }
  }
  if (SendOutput() == 0) Loop().WatchWrite(HSocket());
  if (!handshaking || session.Handshaking()) return true;
  Loop().KillTimer(tls_->HandshakeTimer);
  if (SendQueueEmpty()) return true;
  const uint32_t registration = Registration();
  TryToSend();
  // As after a Send whose bytes all went out at once: the write report comes on a later turn.
  if (Registration() != registration) return false;
  if (SendQueueEmpty()) Loop().PostReport(HSocket(), FD_WRITE);
  return true;
}

int TCustomTlsWSocket::SendOutput() {
  TTlsSession& session = *tls_->Session;
  for (std::string_view out = session.Output(); !out.empty(); out = session.Output()) {
    int n = TCustomSocksWSocket::RawSend(out.data(), static_cast<int>(out.size()));
    if (n <= 0) return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK ? -1 : 0;
    session.Sent(static_cast<size_t>(n));
  }
  return 1;
}

int TCustomTlsWSocket::GetRcvdCount() {
  if (!TlsActive()) return TCustomSocksWSocket::GetRcvdCount();
  return static_cast<int>(std::min<size_t>(tls_->Session->Plaintext().size(), INT32_MAX));
}

int TCustomTlsWSocket::RawReceive(void* buffer, int bufferSize, int flags) {
  if (!TlsActive() || bufferSize <= 0) return TCustomSocksWSocket::RawReceive(buffer, bufferSize, flags);
  std::string& plaintext = tls_->Session->Plaintext();
  if (plaintext.empty()) {
    if (tls_->Session->PeerClosed()) return 0;
    errno = EWOULDBLOCK;
    return -1;
  }
  size_t n = std::min(plaintext.size(), static_cast<size_t>(bufferSize));
  std::memcpy(buffer, plaintext.data(), n);
  plaintext.erase(0, n);
  // A burst's room goes back once it has been read.
  if (plaintext.empty() && plaintext.capacity() > TTlsSession::kRecordLimit * 2) std::string().swap(plaintext);
  return static_cast<int>(n);
}

int TCustomTlsWSocket::RawSend(const void* data, int len) {
  if (!TlsActive()) return TCustomSocksWSocket::RawSend(data, len);
  const iovec part{const_cast<void*>(data), static_cast<size_t>(std::max(len, 0))};
  return SendRecords(&part, 1);
}

int TCustomTlsWSocket::RawSendGathered(const iovec* parts, int count) {
  if (!TlsActive()) return TCustomSocksWSocket::RawSendGathered(parts, count);
  return SendRecords(parts, count);
}

int TCustomTlsWSocket::SendRecords(const iovec* parts, int count) {
  TTls& tls = *tls_;
  if (tls.Session->Handshaking()) {
    // Only the handshake's own bytes may go out yet.
    int flushed = SendOutput();
    if (flushed == 0) errno = EWOULDBLOCK;
    return flushed == 1 ? 0 : -1;
  }
  // The records of a retry are the ones made before: the queue's front has not moved since.
  if (tls.InFlight == 0 && !Encrypt(parts, count)) {
    tls.Error = tls.Session->Error();
    errno = ECONNABORTED;
    return -1;
  }
  if (tls.InFlight == 0) return 0;
  int flushed = SendOutput();
  if (flushed != 1) {
    if (flushed == 0) errno = EWOULDBLOCK;
    return -1;
  }
  return std::exchange(tls.InFlight, 0);
}

bool TCustomTlsWSocket::Encrypt(const iovec* parts, int count) {
  // The queue's small chunks fill whole records: one record per chunk would cost a header, a tag
  // and a cipher call each.
  TTls& tls = *tls_;
  char record[TTlsSession::kRecordLimit];
  size_t filled = 0;
  auto seal = [&] {
    if (tls.Session->Encrypt(record, filled) != filled) return false;
    tls.InFlight += static_cast<int>(filled);
    filled = 0;
    return true;
  };
  for (int i = 0; i < count && tls.InFlight + filled < kSendLimit; ++i) {
    const char* bytes = static_cast<const char*>(parts[i].iov_base);
    for (size_t at = 0; at < parts[i].iov_len;) {
      size_t n = std::min(parts[i].iov_len - at, sizeof(record) - filled);
      std::memcpy(record + filled, bytes + at, n);
      filled += n;
      at += n;
      if (filled == sizeof(record) && !seal()) return false;
    }
  }
  return filled == 0 || seal();
}

void TCustomTlsWSocket::DoDataSent(uint16_t error) {
  if (TlsActive() && SendOutput() == 0) {
    Loop().WatchWrite(HSocket());
    return;
  }
  TCustomSocksWSocket::DoDataSent(error);
}

void TCustomTlsWSocket::DoClose(bool shut, uint16_t error) {
  if (shut && TlsActive() && State() == wsConnected && HSocket() != INVALID_SOCKET) {
    tls_->Session->Shutdown();
    SendOutput();
  }
  TCustomSocksWSocket::DoClose(shut, error);
}

}  // namespace ordwin
