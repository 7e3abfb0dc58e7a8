#include "gg/GgClientIndex.h"

#include "gg/GgClient.h"

namespace ordwin {

void TGgClientIndex::Join(TGgClient* client) {
  client->previousJoined_ = last_;
  client->nextJoined_ = nullptr;
  (last_ != nullptr ? last_->nextJoined_ : first_) = client;
  last_ = client;
  Add(client, client->Uin());
}

void TGgClientIndex::Leave(TGgClient* client) {
  (client->previousJoined_ != nullptr ? client->previousJoined_->nextJoined_ : first_) = client->nextJoined_;
  (client->nextJoined_ != nullptr ? client->nextJoined_->previousJoined_ : last_) = client->previousJoined_;
  client->previousJoined_ = client->nextJoined_ = nullptr;
  Remove(client, client->Uin());
}

void TGgClientIndex::Renumber(TGgClient* client, int32_t uin) {
  Remove(client, client->Uin());
  Add(client, uin);
}

void TGgClientIndex::Add(TGgClient* client, int32_t uin) {
  byUin_[uin].emplace(client->AcceptOrder(), client);
}

void TGgClientIndex::Remove(TGgClient* client, int32_t uin) {
  auto bucket = byUin_.find(uin);
  if (bucket == byUin_.end()) return;
  auto it = bucket->second.find(client->AcceptOrder());
  if (it == bucket->second.end() || it->second != client) return;
  bucket->second.erase(it);
  if (bucket->second.empty()) byUin_.erase(bucket);
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
