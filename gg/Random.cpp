#include "gg/Random.h"

#include <random>

namespace ordwin {

namespace {

std::mt19937& Generator() {
  static std::mt19937 generator;
  return generator;
}

}  // namespace

uint32_t UtcMillisecondsOfDay(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  auto sinceEpoch = duration_cast<milliseconds>(when.time_since_epoch()).count();
  constexpr long long kDay = 86'400'000;
  return static_cast<uint32_t>(((sinceEpoch % kDay) + kDay) % kDay);
}

void RandomSeed(uint32_t seed) { Generator().seed(seed); }

void RandomizeFromClock() { RandomSeed(UtcMillisecondsOfDay(std::chrono::system_clock::now())); }

int32_t Random(int32_t range) {
  if (range < 1) return 0;
  return std::uniform_int_distribution<int32_t>(0, range - 1)(Generator());
}

}  // namespace ordwin
