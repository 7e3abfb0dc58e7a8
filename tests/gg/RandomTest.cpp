#include "gg/Random.h"

#include <chrono>
#include <utility>

#include <gtest/gtest.h>

namespace ordwin {
namespace {

TEST(RandomTest, TheSeedIsTheUtcTimeOfDayInMilliseconds) {
  using namespace std::chrono;
  sys_days day = year{2024} / March / 31;
  EXPECT_EQ(UtcMillisecondsOfDay(system_clock::time_point(day)), 0u);
  EXPECT_EQ(UtcMillisecondsOfDay(system_clock::time_point(day + 13h + 5min + 7s + 250ms)), 47'107'250u);
  EXPECT_EQ(UtcMillisecondsOfDay(system_clock::time_point(day - 1ms)), 86'399'999u);
  EXPECT_EQ(UtcMillisecondsOfDay(system_clock::time_point(sys_days(year{1969} / December / 31) + 1h)), 3'600'000u);
}

TEST(RandomTest, TheSameSeedGivesTheSameValuesWithinTheRange) {
  RandomSeed(47'107'250);
  int32_t first[20];
  for (int32_t& v : first) {
    v = Random(2147483647);
    EXPECT_GE(v, 0);
    EXPECT_LE(v, 2147483646);
  }
  RandomSeed(47'107'250);
  for (int32_t v : first) EXPECT_EQ(Random(2147483647), v);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(Random(1), 0);
  EXPECT_EQ(Random(0), 0);
}

// The values the welcome packets and sequence numbers carry, past the generator's refill too.
TEST(RandomTest, ASeedGivesTheValuesItAlwaysGave) {
  RandomSeed(47'107'250);
  for (auto [range, value] : {std::pair(2147483647, 550739418), std::pair(2147483647, 1807798231),
                              std::pair(2147483647, 1874000032), std::pair(1000, 309), std::pair(3, 2)})
    EXPECT_EQ(Random(range), value) << range;
  for (int i = 0; i < 700; ++i) Random(2147483647);
  EXPECT_EQ(Random(2147483647), 568575498);
}

}  // namespace
}  // namespace ordwin
