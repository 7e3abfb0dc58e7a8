#include "net/Event.h"

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "net/WSocket.h"

namespace ordwin {
namespace {

// An event member behaves as the std::function it replaced: assigned, tested, called, copied,
// cleared by nullptr or by an empty function, and replaced or cleared from its own handler.
TEST(EventTest, BehavesAsTheFunctionItHolds) {
  TEvent<void(int, std::string&)> e;
  EXPECT_FALSE(e);
  std::string seen;
  e = [&](int n, std::string& out) { out += std::to_string(n); };
  ASSERT_TRUE(e);
  e(7, seen);
  EXPECT_EQ(seen, "7");

  TEvent<void(int, std::string&)> copy = e;
  e = nullptr;
  EXPECT_FALSE(e);
  ASSERT_TRUE(copy);
  copy(8, seen);
  EXPECT_EQ(seen, "78");

  copy = std::function<void(int, std::string&)>();
  EXPECT_FALSE(copy);

  // Captures stay alive as long as the event holds them, and no longer.
  auto held = std::make_shared<int>(1);
  std::weak_ptr<int> watch = held;
  TEvent<void()> keeper = [held] {};
  held.reset();
  EXPECT_FALSE(watch.expired());
  keeper = nullptr;
  EXPECT_TRUE(watch.expired());
}

TEST(EventTest, AHandlerMayClearOrReplaceItsOwnEvent) {
  TWSocket s(nullptr);
  int calls = 0;
  auto token = std::make_shared<int>(1);
  s.OnDataSent = [&, token](TObject*, uint16_t) {
    s.OnDataSent = nullptr;
    calls += *token;  // the running closure outlives its own clearing
  };
  s.OnDataSent(&s, 0);
  EXPECT_FALSE(s.OnDataSent);
  s.OnSessionClosed = [&](TObject*, uint16_t) {
    ++calls;
    s.OnSessionClosed = [&](TObject*, uint16_t) { calls += 10; };
  };
  s.OnSessionClosed(&s, 0);
  s.OnSessionClosed(&s, 0);
  EXPECT_EQ(calls, 12);
}

}  // namespace
}  // namespace ordwin
