#include "gg/Random.h"

#include <random>

namespace ordwin {

namespace {

// Made before main runs; nothing draws before then.
std::mt19937 generator;

}  // namespace

uint32_t UtcMillisecondsOfDay(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  auto sinceEpoch = duration_cast<milliseconds>(when.time_since_epoch()).count();
  constexpr long long kDay = 86'400'000;
  return static_cast<uint32_t>(((sinceEpoch % kDay) + kDay) % kDay);
}

void RandomSeed(uint32_t seed) { generator.seed(seed); }

void RandomizeFromClock() { RandomSeed(UtcMillisecondsOfDay(std::chrono::system_clock::now())); }

uint32_t RandomBits() { return static_cast<uint32_t>(generator()); }

}  // namespace ordwin
