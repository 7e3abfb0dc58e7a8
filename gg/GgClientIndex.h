// TGgClientIndex: the GG listener's lookup of its clients by GG number, so that finding the
// recipient of a message costs the same with ten clients or ten thousand, and the list of all its
// clients in accept order, for what goes to everybody. Holds no client: each leaves it when
// destroyed.
#pragma once

#include <cstdint>
#include <map>
#include <unordered_map>

#include "gg/GgClient.h"

namespace ordwin {

class TGgClientIndex {
public:
  // A client joins once it is attached (after every client accepted before it) and leaves when
  // it is destroyed; Renumber follows a change of its number, before the client takes it.
  void Join(TGgClient* client);
  void Leave(TGgClient* client);
  void Renumber(TGgClient* client, int32_t uin);

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
  // Calls visit for every client, in accept order; visit must not destroy clients (closing them
  // is safe: that only posts their release).
  template <class TVisit>
  void ForAll(TVisit visit) const {
    for (TGgClient* client = first_; client != nullptr; client = client->nextJoined_) visit(client);
  }

private:
  void Add(TGgClient* client, int32_t uin);
  void Remove(TGgClient* client, int32_t uin);

  TGgClient* first_ = nullptr;
  TGgClient* last_ = nullptr;
  // Per number, its clients in accept order.
  std::unordered_map<int32_t, std::map<uint64_t, TGgClient*>> byUin_;
};

}  // namespace ordwin
