#include "net/WSocketResolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <memory>

#include "net/Exception.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

constexpr std::size_t kMaxHostLength = 256;
// Port and protocol texts must be shorter than this.
constexpr std::size_t kMaxNameLength = 32;
constexpr uint32_t kMaxPort = 65535;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The C library stops at a NUL byte; a name holding one must not resolve as its prefix.
bool HasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

int NameServiceError(int gaiError, int savedErrno) {
  switch (gaiError) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
#endif
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_SYSTEM:
      if (savedErrno != 0) return WSocketErrorFromErrno(savedErrno);
      return WSANO_RECOVERY;
    default:
      return WSANO_RECOVERY;
  }
}

struct TAddrInfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// 0 on success with the first IPv4 address in address, otherwise the error code.
int LookUpHost(const std::string& name, uint32_t& address) {
  if (HasNul(name)) return WSAHOST_NOT_FOUND;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &raw);
  const int savedErrno = errno;
  std::unique_ptr<addrinfo, TAddrInfoDeleter> list(raw);
  if (rc != 0) return NameServiceError(rc, savedErrno);
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
      address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      return 0;
    }
  }
  return WSANO_DATA;
}

// Like WSocketAtoi on a text that starts with a digit, but stops counting past kMaxPort so
// that a long digit run cannot wrap into a valid port.
uint32_t ReadPortNumber(const std::string& text) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < text.size() && IsDigit(text[i]); ++i)
    value = std::min<uint32_t>(value * 10 + static_cast<uint32_t>(text[i] - '0'), kMaxPort + 1);
  return value;
}

}  // namespace

std::string WSocketTrim(const std::string& text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  const auto last = std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(first), blank);
  return std::string(first, last.base());
}

bool WSocketIsDottedIP(const std::string& text) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n && text[i] == ' ') ++i;
  if (i < n && text[i] == '.') return false;
  int dots = 0;
  int group = 0;
  for (; i < n; ++i) {
    const char c = text[i];
    if (IsDigit(c)) {
      // Saturates, so that a long run of digits cannot wrap into a small group.
      group = std::min(group * 10 + (c - '0'), 256);
    } else if (c == '.') {
      ++dots;
      if (dots > 3 || group > 255 || i + 1 >= n || !IsDigit(text[i + 1])) return false;
      group = 0;
    } else {
      while (i < n && text[i] == ' ') ++i;
      if (i < n) return false;
      break;
    }
  }
  return dots == 3 && group <= 255;
}

int WSocketAtoi(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  uint32_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  return static_cast<int>(value);
}

uint32_t WSocketResolveHost(const std::string& inAddr) {
  if (inAddr.empty() || inAddr.size() > kMaxHostLength)
    throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid Hostname.");
  const std::string name = WSocketTrim(inAddr);
  if (WSocketIsDottedIP(inAddr)) {
    const in_addr_t address = inet_addr(name.c_str());
    if (address == INADDR_NONE && name != "255.255.255.255")
      throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid IP address.");
    return address;
  }
  uint32_t address = 0;
  const int error = LookUpHost(name, address);
  if (error != 0)
    throw ESocketException("WSocketResolveHost: Cannot convert host address '" + inAddr + "', Error #" +
                           std::to_string(error));
  return address;
}

uint16_t WSocketResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty() || port.size() >= kMaxNameLength) throw ESocketException("WSocketResolvePort: Invalid Port.");
  if (proto.empty() || proto.size() >= kMaxNameLength) throw ESocketException("WSocketResolvePort: Invalid Proto.");
  if (IsDigit(port[0])) {
    const uint32_t number = ReadPortNumber(port);
    if (number > kMaxPort) throw ESocketException("WSocketResolvePort: Invalid Port.");
    return static_cast<uint16_t>(number);
  }
  const std::string service = WSocketTrim(port);
  const std::string protocol = WSocketTrim(proto);
  const servent* entry = nullptr;
  if (!HasNul(service) && !HasNul(protocol))
    entry = getservbyname(service.c_str(), protocol.empty() ? nullptr : protocol.c_str());
  if (entry == nullptr)
    throw ESocketException("WSocketResolvePort: Cannot convert port '" + port + "', Error #" +
                           std::to_string(WSANO_DATA));
  return ntohs(static_cast<uint16_t>(entry->s_port));
}

int WSocketResolveProto(const std::string& proto) {
  if (proto.empty() || proto.size() >= kMaxNameLength) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  const std::string protocol = WSocketTrim(proto);
  if (!protocol.empty() && IsDigit(protocol[0])) return WSocketAtoi(protocol);
  const protoent* entry = HasNul(protocol) ? nullptr : getprotobyname(protocol.c_str());
  if (entry == nullptr)
    throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + protocol + "', Error #" +
                           std::to_string(WSANO_DATA));
  return entry->p_proto;
}

// Written by hand: the library's formatting goes through printf, a cost on every accept.
std::string WSocketDottedAddress(const in_addr& address) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);  // network order
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(bytes[i]);
  }
  return text;
}

}  // namespace ordwin
