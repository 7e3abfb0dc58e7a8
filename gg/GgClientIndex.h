// TGgClientIndex: the GG listener's lookup of its clients by GG number, so that finding the
// recipient of a message costs the same with ten clients or ten thousand; and the clients with
// packets queued for the end of the turn. Holds no client: each leaves it when destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "gg/GgClient.h"

namespace ordwin {

class TGgClientIndex {
public:
  void Add(TGgClient* client, int32_t uin);
  void Remove(TGgClient* client, int32_t uin);
  // The client with this number that was accepted first among those Reachable, or nullptr.
  TGgClient* FirstReachable(int32_t uin) const;
  // The connected, logged-in client with the number of client that was accepted first, client
  // itself left out; nullptr when there is none.
  TGgClient* FirstOther(const TGgClient* client) const;
  // Calls visit for each client with this number, in accept order; visit must not change the
  // clients' numbers.
  template <class TVisit>
  void ForEach(int32_t uin, TVisit visit) const {
    if (auto bucket = byUin_.find(uin); bucket != byUin_.end())
      for (const auto& entry : bucket->second) visit(entry.second);
  }

  // Notes a client of this index whose queued packets wait for the end of the turn, once until
  // taken; false for a client that is not in this index (it could leave unseen).
  bool MarkQueued(TGgClient* client) {
    if (client->index_ != this) return false;
    if (!client->queued_) {
      client->queued_ = true;
      queued_.push_back(client);
    }
    return true;
  }
  // The clients marked since the last call, each once, in the order they were marked.
  std::vector<TGgClient*> TakeQueued();

private:
  std::vector<TGgClient*> queued_;
  // Per number, its clients in accept order.
  std::unordered_map<int32_t, std::map<uint64_t, TGgClient*>> byUin_;
};

}  // namespace ordwin
