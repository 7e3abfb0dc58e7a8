#include "gg/GgClientIndex.h"

#include "gg/GgClient.h"

namespace ordwin {

void TGgClientIndex::Add(TGgClient* Client, int32_t Uin) {
  if (byUin_[Uin].emplace(Client->AcceptOrder(), Client).second) ++size_;
}

void TGgClientIndex::Remove(TGgClient* Client, int32_t Uin) {
  auto bucket = byUin_.find(Uin);
  if (bucket == byUin_.end()) return;
  auto it = bucket->second.find(Client->AcceptOrder());
  if (it == bucket->second.end() || it->second != Client) return;
  bucket->second.erase(it);
  --size_;
  if (bucket->second.empty()) byUin_.erase(bucket);
}

TGgClient* TGgClientIndex::FirstConnected(int32_t Uin) const {
  auto bucket = byUin_.find(Uin);
  if (bucket == byUin_.end()) return nullptr;
  for (const auto& [order, client] : bucket->second)
    if (client->State() == wsConnected) return client;
  return nullptr;
}

}  // namespace ordwin
