#include "gg/GgClientIndex.h"

#include "gg/GgClient.h"

namespace ordwin {

namespace {

constexpr size_t kSmallestTable = 16;

}  // namespace

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

size_t TGgClientIndex::Home(int32_t uin) const {
  // Fibonacci hashing: numbers handed out in a row land far apart.
  uint32_t mixed = static_cast<uint32_t>(uin) * 0x9E3779B1u;
  return (static_cast<size_t>(mixed) * slots_.size()) >> 32;
}

size_t TGgClientIndex::Find(int32_t uin) const {
  size_t mask = slots_.size() - 1;
  size_t i = Home(uin);
  while (slots_[i].First != nullptr && slots_[i].Uin != uin) i = (i + 1) & mask;
  return i;
}

TGgClient* TGgClientIndex::First(int32_t uin) const {
  if (slots_.empty()) return nullptr;
  return slots_[Find(uin)].First;
}

void TGgClientIndex::Resize(size_t capacity) {
  std::vector<TSlot> old;
  old.swap(slots_);
  slots_.resize(capacity);
  for (const TSlot& slot : old)
    if (slot.First != nullptr) slots_[Find(slot.Uin)] = slot;
}

void TGgClientIndex::Add(TGgClient* client, int32_t uin) {
  if (2 * (used_ + 1) > slots_.size()) Resize(slots_.empty() ? kSmallestTable : 2 * slots_.size());
  TSlot& slot = slots_[Find(uin)];
  if (slot.First == nullptr) {
    slot.Uin = uin;
    ++used_;
  }
  // In accept order: a client usually comes after every other with its number, so its place is
  // looked for from the end.
  TGgClient* before = slot.Last;
  while (before != nullptr && before->AcceptOrder() > client->AcceptOrder()) before = before->previousSameUin_;
  TGgClient* after = before != nullptr ? before->nextSameUin_ : slot.First;
  client->previousSameUin_ = before;
  client->nextSameUin_ = after;
  (before != nullptr ? before->nextSameUin_ : slot.First) = client;
  (after != nullptr ? after->previousSameUin_ : slot.Last) = client;
}

void TGgClientIndex::Remove(TGgClient* client, int32_t uin) {
  if (slots_.empty()) return;
  size_t i = Find(uin);
  TSlot& slot = slots_[i];
  if (slot.First == nullptr || (client->previousSameUin_ == nullptr && slot.First != client)) return;
  TGgClient* before = client->previousSameUin_;
  TGgClient* after = client->nextSameUin_;
  (before != nullptr ? before->nextSameUin_ : slot.First) = after;
  (after != nullptr ? after->previousSameUin_ : slot.Last) = before;
  client->previousSameUin_ = client->nextSameUin_ = nullptr;
  if (slot.First != nullptr) return;
  // The number's last client left: the slots after it that would now be out of their probe
  // run move back into the gap, so that no free slot cuts a run short.
  --used_;
  size_t mask = slots_.size() - 1;
  size_t gap = i;
  for (size_t j = (gap + 1) & mask; slots_[j].First != nullptr; j = (j + 1) & mask) {
    size_t home = Home(slots_[j].Uin);
    // The entry at j may fill the gap when its home is not within (gap, j], cyclically.
    if (((j - home) & mask) >= ((j - gap) & mask)) {
      slots_[gap] = slots_[j];
      gap = j;
    }
  }
  slots_[gap] = TSlot{};
  if (slots_.size() > kSmallestTable && 8 * used_ < slots_.size()) Resize(slots_.size() / 2);
}

TGgClient* TGgClientIndex::FirstReachable(int32_t uin, TGgTime now) const {
  for (TGgClient* client = First(uin); client != nullptr; client = client->nextSameUin_)
    if (client->Reachable(now)) return client;
  return nullptr;
}

TGgClient* TGgClientIndex::FirstOther(const TGgClient* client) const {
  for (TGgClient* other = First(client->Uin()); other != nullptr; other = other->nextSameUin_)
    if (other != client && other->LoggedIn && other->State() == wsConnected) return other;
  return nullptr;
}

}  // namespace ordwin
