#include "gg/Random.h"

#include <random>

namespace ordwin {

namespace {

// The standard 32-bit Mersenne Twister, its state in 32-bit words (std::mt19937 keeps 64-bit
// ones): the same values, and a refill of its state that costs less.
using TGenerator = std::mersenne_twister_engine<uint32_t, 32, 624, 397, 31, 0x9908b0df, 11, 0xffffffff, 7, 0x9d2c5680,
                                                15, 0xefc60000, 18, 1812433253>;
// Made before main runs; nothing draws before then.
TGenerator generator;

}  // namespace

uint32_t UtcMillisecondsOfDay(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  auto sinceEpoch = duration_cast<milliseconds>(when.time_since_epoch()).count();
  constexpr long long kDay = 86'400'000;
  return static_cast<uint32_t>(((sinceEpoch % kDay) + kDay) % kDay);
}

void RandomSeed(uint32_t seed) { generator.seed(seed); }

void RandomizeFromClock() { RandomSeed(UtcMillisecondsOfDay(std::chrono::system_clock::now())); }

uint32_t RandomBits() { return generator(); }

}  // namespace ordwin
