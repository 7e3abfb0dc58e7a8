#include "gg/GgClientIndex.h"

#include "gg/GgClient.h"

#include <algorithm>

namespace ordwin {

void TGgClientIndex::Add(TGgClient* Client, int32_t Uin) {
  byUin_[Uin].emplace(Client->AcceptOrder(), Client);
}

void TGgClientIndex::Remove(TGgClient* Client, int32_t Uin) {
  if (Client->queued_) {
    Client->queued_ = false;
    queued_.erase(std::find(queued_.begin(), queued_.end(), Client));
  }
  auto bucket = byUin_.find(Uin);
  if (bucket == byUin_.end()) return;
  auto it = bucket->second.find(Client->AcceptOrder());
  if (it == bucket->second.end() || it->second != Client) return;
  bucket->second.erase(it);
  if (bucket->second.empty()) byUin_.erase(bucket);
}

bool TGgClientIndex::MarkQueued(TGgClient* Client) {
  if (Client->index_ != this) return false;
  if (!Client->queued_) {
    Client->queued_ = true;
    queued_.push_back(Client);
  }
  return true;
}

std::vector<TGgClient*> TGgClientIndex::TakeQueued() {
  std::vector<TGgClient*> taken;
  taken.swap(queued_);
  for (TGgClient* c : taken) c->queued_ = false;
  return taken;
}

TGgClient* TGgClientIndex::FirstConnected(int32_t Uin) const {
  auto bucket = byUin_.find(Uin);
  if (bucket == byUin_.end()) return nullptr;
  for (const auto& [order, client] : bucket->second)
    if (client->State() == wsConnected) return client;
  return nullptr;
}

}  // namespace ordwin
