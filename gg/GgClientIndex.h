// TGgClientIndex: the GG listener's lookup of its clients by GG number, so that finding the
// recipient of a message costs the same with ten clients or ten thousand, and the list of all its
// clients in accept order, for what goes to everybody. Holds no client: each leaves it when
// destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gg/GgClient.h"

namespace ordwin {

class TGgClientIndex {
public:
  // A client joins once it is attached (after every client accepted before it) and leaves when
  // it is destroyed; Renumber follows a change of its number, before the client takes it.
  void Join(TGgClient* client);
  void Leave(TGgClient* client);
  void Renumber(TGgClient* client, int32_t uin);

  // The client with this number that was accepted first among those Reachable at now, or nullptr.
  TGgClient* FirstReachable(int32_t uin, TGgTime now) const;
  // The connected, logged-in client with the number of client that was accepted first, client
  // itself left out; nullptr when there is none.
  TGgClient* FirstOther(const TGgClient* client) const;
  // Calls visit for each client with this number, in accept order; visit must not change the
  // clients' numbers.
  template <class TVisit>
  void ForEach(int32_t uin, TVisit visit) const {
    for (TGgClient* client = First(uin); client != nullptr; client = client->nextSameUin_) visit(client);
  }
  // Calls visit for every client, in accept order; visit must not destroy clients (closing them
  // is safe: that only posts their release).
  template <class TVisit>
  void ForAll(TVisit visit) const {
    for (TGgClient* client = first_; client != nullptr; client = client->nextJoined_) visit(client);
  }

private:
  // One number's clients: the first in accept order heads a list through the clients
  // themselves. The table is open-addressed (linear probing, at most half full): a lookup reads
  // one or two neighbouring slots and no node of its own.
  struct TSlot {
    int32_t Uin = 0;
    TGgClient* First = nullptr;  // nullptr: the slot is free
    TGgClient* Last = nullptr;
  };

  TGgClient* First(int32_t uin) const;
  void Add(TGgClient* client, int32_t uin);
  void Remove(TGgClient* client, int32_t uin);
  size_t Home(int32_t uin) const;
  // The slot holding uin, or the free slot where it would go.
  size_t Find(int32_t uin) const;
  void Resize(size_t capacity);

  TGgClient* first_ = nullptr;
  TGgClient* last_ = nullptr;
  std::vector<TSlot> slots_;  // empty, or a power of two
  size_t used_ = 0;
};

}  // namespace ordwin
