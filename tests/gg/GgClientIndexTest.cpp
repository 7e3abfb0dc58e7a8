#include "gg/GgClientIndex.h"

#include <map>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

class GgClientIndexTest : public test::LoopTest {};

// Each number lists its clients in accept order however they join, change numbers and leave:
// through the table's growth and shrinking, colliding slots, and numbers leaving from the middle
// of a run of them. A later client taking a number first is a second device logging in first.
TEST_F(GgClientIndexTest, EachNumberListsItsClientsInAcceptOrder) {
  TGgClientIndex index;
  std::map<uint64_t, std::unique_ptr<TGgClient>> clients;
  std::map<int32_t, std::map<uint64_t, TGgClient*>> expected;
  std::mt19937 random(7);
  auto renumber = [&](uint64_t order, int32_t uin) {
    expected[clients[order]->Uin()].erase(order);
    clients[order]->SetUin(uin);
    expected[uin][order] = clients[order].get();
  };
  auto check = [&] {
    for (auto& [uin, byOrder] : expected) {
      std::vector<TGgClient*> listed, due;
      index.ForEach(uin, [&](TGgClient* c) { listed.push_back(c); });
      for (auto& [order, c] : byOrder) due.push_back(c);
      ASSERT_EQ(listed, due) << "number " << uin << ", " << clients.size() << " clients";
    }
  };
  for (uint64_t order = 1; order <= 2000; ++order) {
    (clients[order] = std::make_unique<TGgClient>(nullptr))->JoinIndex(&index, order);
    expected[0][order] = clients[order].get();
  }
  for (uint64_t order = 2000; order >= 1; --order) renumber(order, static_cast<int32_t>(1 + random() % 300));
  check();
  for (int i = 0; i < 3000; ++i) renumber(1 + random() % 2000, static_cast<int32_t>(random() % 100000));
  check();
  while (clients.size() > 10) {
    auto it = std::next(clients.begin(), static_cast<long>(random() % clients.size()));
    expected[it->second->Uin()].erase(it->first);
    clients.erase(it);
    if (clients.size() % 250 == 0) check();
  }
  index.ForEach(123456789, [](TGgClient*) { ADD_FAILURE() << "a number nobody has"; });
}

}  // namespace
}  // namespace ordwin
