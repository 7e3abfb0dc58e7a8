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
bool ParseAddress(const std::string& Text, in_addr& Address) {
  return Text.find('\0') == std::string::npos && ::inet_aton(Text.c_str(), &Address) != 0;
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

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  if (HostName.empty()) {
    RaiseError("DNS lookup: invalid host name.");
    return DoDnsLookupDone(WSAEINVAL);
  }
  ForgetLookup();
  in_addr address{};
  if (ParseAddress(HostName, address)) {
    lookup_->Result = WSocketDottedAddress(address);
    return DoDnsLookupDone(0);
  }
  AwaitLookup(Loop().Dns().LookUpName(HostName, endpoint_.Id(), WM_ASYNCGETHOSTBYNAME));
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
  in_addr address{};
  // A text that is no address would otherwise ask for the name of 255.255.255.255.
  if (HostAddr.empty() || HostAddr.size() > kMaxHostAddrLength || !ParseAddress(HostAddr, address)) {
    RaiseError("ReverseDnsLookup: Invalid host name.");
    return DoDnsLookupDone(WSAEINVAL);
  }
  ForgetLookup();
  AwaitLookup(Loop().Dns().LookUpAddress(address.s_addr, endpoint_.Id(), WM_ASYNCGETHOSTBYADDR));
}

void TCustomWSocket::ForgetLookup() {
  if (!lookup_) lookup_ = std::make_unique<TLookup>();
  if (lookup_->Handle != 0) Loop().Dns().Cancel(lookup_->Handle);
  lookup_->Handle = 0;
  lookup_->Result.clear();
  lookup_->ResultList.clear();
}

void TCustomWSocket::AwaitLookup(uint32_t Id) {
  lookup_->Handle = Id;
  std::optional<TMessage>& early = lookup_->EarlyReply;
  if (early && static_cast<uint32_t>(early->WParam) == Id) {
    TMessage reply = *early;
    early.reset();
    HandleDnsReply(reply);
  }
}

void TCustomWSocket::HandleDnsReply(const TMessage& Msg) {
  if (!lookup_) lookup_ = std::make_unique<TLookup>();
  const uint32_t id = static_cast<uint32_t>(Msg.WParam);
  if (lookup_->Handle == 0) {
    lookup_->EarlyReply = Msg;  // for the lookup being started, should it be this one
    return;
  }
  if (id != lookup_->Handle) return;  // a lookup cancelled since
  lookup_->Handle = 0;
  const uint16_t error = SelectError(Msg.LParam);
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
