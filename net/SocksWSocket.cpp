#include "net/SocksWSocket.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <arpa/inet.h>

#include "net/WSocketResolve.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

// Room for the longest reply a proxy gives: a level 5 grant naming a host of 255 bytes needs 262.
constexpr size_t kReplyCapacity = 512;
constexpr size_t kMaxField = 255;

constexpr uint8_t kGranted4 = 90;

static_assert(kSocksErrorLast < kNativeErrorBase, "a SOCKS code must never read as a platform error");

const std::string kEmpty;
const std::string kLevel4 = "4", kLevel4A = "4A", kLevel5 = "5";

std::string Byte(unsigned value) { return std::string(1, static_cast<char>(value & 0xFF)); }

// The texts of the level 5 reply codes 1 to 8, as errors 20004 to 20011.
constexpr const char* kReplyTexts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                                       "network unreachable",          "host unreachable",
                                       "connection refused",           "time to live expired",
                                       "command not supported",        "address type not supported"};

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* owner) : TCustomWSocket(owner) {}

TCustomSocksWSocket::~TCustomSocksWSocket() = default;

TCustomSocksWSocket::TProxy& TCustomSocksWSocket::Proxy() {
  if (!proxy_) proxy_ = std::make_unique<TProxy>();
  return *proxy_;
}

void TCustomSocksWSocket::ResetDefaults() {
  TCustomWSocket::ResetDefaults();
  phase_ = spData;
  level_ = '5';
  held_ = 0;
  if (!proxy_) return;
  proxy_->Server.clear();
  proxy_->Port.clear();
  std::string().swap(proxy_->Reply);
}

// ---- settings ----

const std::string& TCustomSocksWSocket::SocksServer() const { return proxy_ ? proxy_->Server : kEmpty; }

const std::string& TCustomSocksWSocket::SocksPort() const { return proxy_ ? proxy_->Port : kEmpty; }

const std::string& TCustomSocksWSocket::SocksUsercode() const { return proxy_ ? proxy_->Usercode : kEmpty; }

const std::string& TCustomSocksWSocket::SocksPassword() const { return proxy_ ? proxy_->Password : kEmpty; }

const std::string& TCustomSocksWSocket::SocksLevel() const {
  return level_ == '4' ? kLevel4 : level_ == 'A' ? kLevel4A : kLevel5;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& value) {
  if (State() != wsClosed) throw Exception("Can't change socks server if not closed");
  Proxy().Server = WSocketTrim(value);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value) {
  if (State() != wsClosed) throw Exception("Can't change socks port if not closed");
  Proxy().Port = WSocketTrim(value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& value) {
  if (State() != wsClosed) throw Exception("Can't change socks level if not closed");
  std::string level = value;
  std::transform(level.begin(), level.end(), level.begin(), [](unsigned char c) { return std::toupper(c); });
  if (level != kLevel4 && level != kLevel4A && level != kLevel5)
    throw Exception("Invalid socks level. Must be 4, 4A or 5.");
  level_ = level == kLevel4A ? 'A' : level[0];
}

void TCustomSocksWSocket::SetSocksUsercode(const std::string& value) { Proxy().Usercode = value; }

void TCustomSocksWSocket::SetSocksPassword(const std::string& value) { Proxy().Password = value; }

// ---- events ----

void TCustomSocksWSocket::DoSocksConnected(uint16_t error) {
  if (OnSocksConnected) OnSocksConnected(this, error);
}

void TCustomSocksWSocket::DoSocksError(int error, const std::string& msg) {
  if (OnSocksError) OnSocksError(this, error, msg);
}

void TCustomSocksWSocket::DoSocksAuthState(TSocksAuthState authState) {
  if (OnSocksAuthState) OnSocksAuthState(this, authState);
}

// ---- operations ----

void TCustomSocksWSocket::Listen() {
  if (!SocksServer().empty()) throw Exception("Listening is not supported thru socks server");
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::Connect() {
  // A socket in use or without a target gets the base's answer, as one without a proxy does.
  if (SocksServer().empty() || (HSocket() != INVALID_SOCKET && State() != wsClosed) || !AddrAssigned() ||
      !PortAssigned())
    return TCustomWSocket::Connect();
  std::string proto = Proto();
  std::transform(proto.begin(), proto.end(), proto.begin(), [](unsigned char c) { return std::tolower(c); });
  if (proto != "tcp") throw Exception("tcp is the only protocol supported thru socks server");

  TProxy& proxy = Proxy();
  uint32_t proxyAddress = 0;
  uint16_t proxyPort = 0;
  try {
    proxyAddress = WSocketResolveHost(proxy.Server);
    proxyPort = htons(WSocketResolvePort(proxy.Port, "tcp"));
    proxy.DestinationPort = htons(WSocketResolvePort(Port(), Proto()));
  } catch (const Exception& e) {
    return RaiseError("connect: " + e.Message());
  }
  // The proxy is sent the name in a field of at most 255 bytes.
  if (level_ != '4' && Addr().size() > kMaxField)
    return RaiseError("connect: WSocketResolveHost: '" + Addr() + "' Invalid Hostname.");
  ConnectVia(proxyAddress, proxyPort);
  phase_ = spMethods;
  proxy.Reply.clear();
  held_ = 0;
  TCustomWSocket::Connect();
}

// ---- reading ----

int TCustomSocksWSocket::ReceiveHeld(void* buffer, int bufferSize, int flags) {
  std::string& reply = proxy_->Reply;
  int n = std::min(std::max(bufferSize, 0), held_);
  std::memcpy(buffer, reply.data() + reply.size() - held_, static_cast<size_t>(n));
  held_ -= n;
  if (held_ > 0) return n;
  std::string().swap(reply);
  // Then the platform's, so that a read that leaves room still means nothing more was there.
  if (n < bufferSize) {
    int more = TCustomWSocket::RawReceive(static_cast<char*>(buffer) + n, bufferSize - n, flags);
    if (more > 0) n += more;
  }
  return n;
}

bool TCustomSocksWSocket::Negotiate(uint16_t error) {
  if (error != 0)
    Fail(error, "data receive error");
  else
    ReadReply();
  return true;
}

void TCustomSocksWSocket::ReadReply() {
  size_t want = kReplyCapacity;
  switch (phase_) {
    case spMethods:
      if (!Level5()) return Fail(20001, "TWSocket logic error");
      want = 2;
      break;
    case spAuthenticate:
      break;
    case spConnect:
      if (!Level5()) want = 8;
      break;
    default:
      return Fail(20013, "internal error");
  }
  std::string& reply = Proxy().Reply;
  const size_t have = reply.size();
  reply.resize(want);
  // Straight from the platform: these bytes are the proxy's, not the owner's (ReadCount).
  int n = TCustomWSocket::RawReceive(reply.data() + have, static_cast<int>(want - have), 0);
  int code = n < 0 ? WSocketLastError() : 0;
  reply.resize(have + static_cast<size_t>(std::max(n, 0)));
  if (code != 0 && code != WSAEWOULDBLOCK) return Fail(code, "data receive error");
  if (n <= 0) return;  // at the end of the stream the close that follows ends the negotiation
  if (phase_ == spMethods)
    EvaluateMethod();
  else if (phase_ == spAuthenticate)
    EvaluateAuthentication();
  else
    EvaluateConnectReply();
}

void TCustomSocksWSocket::EvaluateMethod() {
  std::string& reply = proxy_->Reply;
  if (reply.size() < 2) return;
  if (reply[0] != 5) return Fail(20002, "socks version error");
  const uint8_t method = static_cast<uint8_t>(reply[1]);
  reply.clear();
  if (method == 0) {
    if (proxy_->AuthMethod == 2) {
      DoSocksAuthState(sasNotRequired);
      if (!Open() || phase_ != spMethods) return;
    }
    return SendConnectRequest();
  }
  if (method == 2) return SendAuthentication();
  Fail(20003, "authentification method not acceptable");
}

void TCustomSocksWSocket::SendAuthentication() {
  phase_ = spAuthenticate;
  DoSocksAuthState(sasStart);
  if (!Open() || phase_ != spAuthenticate) return;
  std::string user = SocksUsercode().substr(0, kMaxField);
  std::string password = SocksPassword().substr(0, kMaxField);
  SendString(Byte(1) + Byte(static_cast<unsigned>(user.size())) + user + Byte(static_cast<unsigned>(password.size())) +
             password);
}

void TCustomSocksWSocket::EvaluateAuthentication() {
  std::string& reply = proxy_->Reply;
  if (reply.size() < 2) return;
  if (reply[0] != 1) return Fail(20002, "socks version error");
  if (reply[1] != 0) return Fail(20015, "socks authentication failed");
  if (reply.size() > 2) return Fail(20001, "too much data availaible");
  reply.clear();
  DoSocksAuthState(sasSuccess);
  if (!Open() || phase_ != spAuthenticate) return;
  SendConnectRequest();
}

void TCustomSocksWSocket::SendConnectRequest() {
  phase_ = spConnect;
  proxy_->Reply.clear();
  const std::string port(reinterpret_cast<const char*>(&proxy_->DestinationPort), 2);
  if (Level5()) {
    // The address always as a name, also a dotted one: the proxy resolves it.
    SendString(Byte(5) + Byte(1) + Byte(0) + Byte(3) + Byte(static_cast<unsigned>(Addr().size())) + Addr() + port);
    return;
  }
  uint32_t address = htonl(1);  // 0.0.0.1: the name follows (4A)
  if (level_ == '4') {
    try {
      address = WSocketResolveHost(Addr());
    } catch (const Exception& e) {
      const char* type = dynamic_cast<const ESocketException*>(&e) ? "ESocketException" : "Exception";
      return Fail(20017, std::string(type) + " " + e.Message());
    }
  }
  std::string request =
      Byte(4) + Byte(1) + port + std::string(reinterpret_cast<const char*>(&address), 4) + SocksUsercode() + Byte(0);
  if (level_ == 'A') request += Addr() + Byte(0);
  SendString(request);
}

void TCustomSocksWSocket::EvaluateConnectReply() {
  const auto* r = reinterpret_cast<const unsigned char*>(proxy_->Reply.data());
  const size_t n = proxy_->Reply.size();
  if (!Level5()) {
    if (n < 8) return;
    if (r[0] != 0) return Fail(20002, "socks version error");
    switch (r[1]) {
      case kGranted4:
        return Granted(8);
      case 91:
        return Fail(20016, "request rejected or failed");
      case 92:
        return Fail(20008, "connection refused");
      case 93:
        return Fail(20015, "authentification failed");
      default:
        return Fail(20012, "unassigned error #" + std::to_string(r[1]));
    }
  }
  if (r[0] != 5) return Fail(20002, "socks version error");
  if (n < 2) return;
  if (r[1] != 0) {
    if (r[1] <= 8) return Fail(20003 + r[1], kReplyTexts[r[1] - 1]);
    return Fail(20012, "unassigned error #" + std::to_string(r[1]));
  }
  if (n < 5) return;
  size_t length = 0;
  switch (r[3]) {
    case 1:
      length = 10;
      break;  // IPv4 address
    case 3:
      length = 7 + r[4];
      break;  // host name
    case 4:
      length = 22;
      break;  // IPv6 address: a proxy may well bind one
    default:
      return Fail(20011, "address type not supported");
  }
  if (n >= length) Granted(length);
}

void TCustomSocksWSocket::Granted(size_t replyLength) {
  std::string& reply = proxy_->Reply;
  reply.erase(0, replyLength);
  held_ = static_cast<int>(reply.size());
  if (held_ == 0) std::string().swap(reply);
  phase_ = spData;
  TCustomWSocket::DoSessionConnected(0);
  // The bytes behind the reply go first, offered as a read would offer them: once, and again
  // while the handler takes some.
  if (!Open()) return;
  bool handled = DoDataAvailable(0);
  while (handled && held_ > 0 && Open()) {
    int before = held_;
    handled = DoDataAvailable(0);
    if (held_ == before) break;
  }
}

// ---- the connection to the proxy ----

void TCustomSocksWSocket::DoSessionConnected(uint16_t error) {
  if (phase_ != spMethods) return TCustomWSocket::DoSessionConnected(error);
  DoSocksConnected(error);
  if (error != 0) {
    phase_ = spData;
    return TCustomWSocket::DoSessionConnected(error);
  }
  if (!Open() || phase_ != spMethods) return;
  if (!Level5()) return SendConnectRequest();
  proxy_->AuthMethod = SocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
  SendString(Byte(5) + Byte(1) + Byte(proxy_->AuthMethod));
}

void TCustomSocksWSocket::DoSessionClosed(uint16_t error) {
  if (phase_ != spData) {
    const bool authenticating = phase_ == spAuthenticate;
    // On the peer's close the handle is still open here; on the owner's it is gone already.
    const bool proxyClosed = HSocket() != INVALID_SOCKET;
    phase_ = spData;
    if (authenticating) DoSocksAuthState(sasFailure);
    if (proxyClosed) {
      if (error == 0) error = WSAECONNABORTED;
      DoSocksError(error, "data receive error");
      TCustomWSocket::DoSessionConnected(error);
    }
  }
  TCustomWSocket::DoSessionClosed(error);
}

void TCustomSocksWSocket::Fail(int code, const std::string& msg) {
  const bool authenticating = phase_ == spAuthenticate;
  const uint32_t registration = Registration();
  phase_ = spData;
  if (authenticating) DoSocksAuthState(sasFailure);
  if (Registration() != registration) return;  // a handler closed the connection
  DoSocksError(code, msg);
  if (Registration() != registration) return;
  TCustomWSocket::DoSessionConnected(static_cast<uint16_t>(code));
  if (Registration() != registration) return;
  DoClose(true, static_cast<uint16_t>(code));
}

}  // namespace ordwin
