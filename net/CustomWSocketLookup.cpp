// Name lookups of TCustomWSocket, on the loop's resolver: the answer comes back as notification
// 1026 (by name) or 1027 (by address) to the object's own endpoint.
#include "net/CustomWSocket.h"

#include <arpa/inet.h>

#include "net/DnsChannel.h"
#include "net/SelectEvents.h"
#include "net/WSocketResolve.h"
#include "net/WinsockErrors.h"

namespace ordwin {

namespace {

constexpr size_t kMaxHostAddrLength = 256;

// inet_aton stops at a NUL byte; such a text is no address.
bool ParseAddress(const std::string& text, in_addr& address) {
  return text.find('\0') == std::string::npos && ::inet_aton(text.c_str(), &address) != 0;
}

}  // namespace

const std::string& TCustomWSocket::DnsResult() const {
  static const std::string kNone;
  return lookup_ ? lookup_->Result : kNone;
}

const std::vector<std::string>& TCustomWSocket::DnsResultList() const {
  static const std::vector<std::string> kNone;
  return lookup_ ? lookup_->ResultList : kNone;
}

void TCustomWSocket::DnsLookup(const std::string& hostName) {
  if (hostName.empty()) {
    RaiseError("DNS lookup: invalid host name.");
    return DoDnsLookupDone(WSAEINVAL);
  }
  ForgetLookup();
  in_addr address{};
  if (ParseAddress(hostName, address)) {
    lookup_->Result = WSocketDottedAddress(address);
    return DoDnsLookupDone(0);
  }
  StartLookup(hostName, Loop().Dns().LookUpName(hostName, endpoint_.Id(), WM_ASYNCGETHOSTBYNAME));
}

void TCustomWSocket::ReverseDnsLookup(const std::string& hostAddr) {
  in_addr address{};
  // A text that is no address would otherwise ask for the name of 255.255.255.255.
  if (hostAddr.empty() || hostAddr.size() > kMaxHostAddrLength || !ParseAddress(hostAddr, address)) {
    RaiseError("ReverseDnsLookup: Invalid host name.");
    return DoDnsLookupDone(WSAEINVAL);
  }
  ForgetLookup();
  StartLookup(hostAddr, Loop().Dns().LookUpAddress(address.s_addr, endpoint_.Id(), WM_ASYNCGETHOSTBYADDR));
}

void TCustomWSocket::ForgetLookup() {
  if (!lookup_) lookup_ = std::make_unique<TLookup>();
  if (lookup_->Handle != 0) Loop().Dns().Cancel(lookup_->Handle);
  lookup_->Handle = 0;
  lookup_->Result.clear();
  lookup_->ResultList.clear();
}

void TCustomWSocket::StartLookup(const std::string& name, uint32_t id) {
  if (id == 0) return RaiseErrorFmt("%s: can't start DNS lookup, error #%d", name.c_str(), Loop().Dns().OpenError());
  AwaitLookup(id);
}

void TCustomWSocket::AwaitLookup(uint32_t id) {
  lookup_->Handle = id;
  std::optional<TMessage>& early = lookup_->EarlyReply;
  if (early && static_cast<uint32_t>(early->WParam) == id) {
    TMessage reply = *early;
    early.reset();
    HandleDnsReply(reply);
  }
}

void TCustomWSocket::HandleDnsReply(const TMessage& msg) {
  if (!lookup_) lookup_ = std::make_unique<TLookup>();
  const uint32_t id = static_cast<uint32_t>(msg.WParam);
  if (lookup_->Handle == 0) {
    lookup_->EarlyReply = msg;  // for the lookup being started, should it be this one
    return;
  }
  if (id != lookup_->Handle) return;  // a lookup cancelled since
  lookup_->Handle = 0;
  const uint16_t error = SelectError(msg.LParam);
  std::vector<std::string> answer = Loop().Dns().TakeAnswer(id);
  if (error == 0) {
    lookup_->ResultList = std::move(answer);
    if (!lookup_->ResultList.empty()) lookup_->Result = lookup_->ResultList.front();
  }
  DoDnsLookupDone(error);
}

void TCustomWSocket::CancelDnsLookup() {
  if (!lookup_ || lookup_->Handle == 0) return;
  Loop().Dns().Cancel(lookup_->Handle);
  lookup_->Handle = 0;
  if (!Destroying()) DoDnsLookupDone(WSAEINTR);
}

}  // namespace ordwin
