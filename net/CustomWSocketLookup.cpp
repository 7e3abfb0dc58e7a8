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

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  if (HostName.empty()) {
    RaiseError("DNS lookup: invalid host name.");
    return DoDnsLookupDone(WSAEINVAL);
  }
  ForgetLookup();
  in_addr address{};
  if (ParseAddress(HostName, address)) {
    dnsResult_ = WSocketDottedAddress(address);
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
  if (dnsLookupHandle_ != 0) Loop().Dns().Cancel(dnsLookupHandle_);
  dnsLookupHandle_ = 0;
  dnsResult_.clear();
  dnsResultList_.clear();
}

void TCustomWSocket::AwaitLookup(uint32_t Id) {
  dnsLookupHandle_ = Id;
  if (earlyDnsReply_ && static_cast<uint32_t>(earlyDnsReply_->WParam) == Id) {
    TMessage reply = *earlyDnsReply_;
    earlyDnsReply_.reset();
    HandleDnsReply(reply);
  }
}

void TCustomWSocket::HandleDnsReply(const TMessage& Msg) {
  const uint32_t id = static_cast<uint32_t>(Msg.WParam);
  if (dnsLookupHandle_ == 0) {
    earlyDnsReply_ = Msg;  // for the lookup being started, should it be this one
    return;
  }
  if (id != dnsLookupHandle_) return;  // a lookup cancelled since
  dnsLookupHandle_ = 0;
  const uint16_t error = SelectError(Msg.LParam);
  std::vector<std::string> answer = Loop().Dns().TakeAnswer(id);
  if (error == 0) {
    dnsResultList_ = std::move(answer);
    if (!dnsResultList_.empty()) dnsResult_ = dnsResultList_.front();
  }
  DoDnsLookupDone(error);
}

void TCustomWSocket::CancelDnsLookup() {
  if (dnsLookupHandle_ == 0) return;
  Loop().Dns().Cancel(dnsLookupHandle_);
  dnsLookupHandle_ = 0;
  if (!Destroying()) DoDnsLookupDone(WSAEINTR);
}

}  // namespace ordwin
