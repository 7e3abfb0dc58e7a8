#include "net/ConnectionCap.h"

#include <sys/resource.h>

namespace ordwin {

namespace {

bool IsLoopback(const std::string& address) { return address.rfind("127.", 0) == 0; }

// The descriptors the process may open now (the limit can change while it runs).
rlim_t DescriptorLimit() {
  rlimit limit{};
  return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
}

}  // namespace

TConnectionCap::TVerdict TConnectionCap::Admit(const TWSocketClient* client) {
  if (Total > 0 ? Count() >= Total
                : client->HSocket() >= 0 &&
                      static_cast<rlim_t>(client->HSocket()) + kReservedDescriptors >= DescriptorLimit())
    return cvServerFull;
  std::string address = client->CachedPeerAddr();
  bool counted = PerAddress > 0 && !(ExemptLoopback && IsLoopback(address));
  if (counted && perAddress_[address] >= PerAddress) return cvAddressFull;
  if (counted) ++perAddress_[address];
  admitted_.emplace(client, counted ? std::move(address) : std::string());
  return cvAdmitted;
}

bool TConnectionCap::Release(const TWSocketClient* client) {
  auto it = admitted_.find(client);
  if (it == admitted_.end()) return false;
  if (!it->second.empty()) {
    auto count = perAddress_.find(it->second);
    if (count != perAddress_.end() && --count->second <= 0) perAddress_.erase(count);
  }
  admitted_.erase(it);
  return true;
}

}  // namespace ordwin
