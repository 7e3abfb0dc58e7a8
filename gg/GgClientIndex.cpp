#include "gg/GgClientIndex.h"

#include "gg/GgClient.h"

#include <algorithm>

namespace ordwin {

void TGgClientIndex::Add(TGgClient* client, int32_t uin) {
  byUin_[uin].emplace(client->AcceptOrder(), client);
}

void TGgClientIndex::Remove(TGgClient* client, int32_t uin) {
  if (client->queued_) {
    client->queued_ = false;
    queued_.erase(std::find(queued_.begin(), queued_.end(), client));
  }
  auto bucket = byUin_.find(uin);
  if (bucket == byUin_.end()) return;
  auto it = bucket->second.find(client->AcceptOrder());
  if (it == bucket->second.end() || it->second != client) return;
  bucket->second.erase(it);
  if (bucket->second.empty()) byUin_.erase(bucket);
}

std::vector<TGgClient*> TGgClientIndex::TakeQueued() {
  std::vector<TGgClient*> taken;
  taken.swap(queued_);
  for (TGgClient* c : taken) c->queued_ = false;
  return taken;
}

TGgClient* TGgClientIndex::FirstReachable(int32_t uin) const {
  auto bucket = byUin_.find(uin);
  if (bucket == byUin_.end()) return nullptr;
  for (const auto& [order, client] : bucket->second)
    if (client->Reachable()) return client;
  return nullptr;
}

TGgClient* TGgClientIndex::FirstOther(const TGgClient* client) const {
  auto bucket = byUin_.find(client->Uin());
  if (bucket == byUin_.end()) return nullptr;
  for (const auto& [order, other] : bucket->second)
    if (other != client && other->LoggedIn && other->State() == wsConnected) return other;
  return nullptr;
}

}  // namespace ordwin
