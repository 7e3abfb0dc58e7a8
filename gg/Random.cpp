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
  // Uniform by multiplying 32 random bits with the range (Lemire's method, which the standard
  // distribution also takes for this generator and range), without its general machinery:
  // every message delivered draws a value here.
  std::mt19937& generator = Generator();
  uint32_t bound = static_cast<uint32_t>(range);
  uint64_t product = static_cast<uint64_t>(generator()) * bound;
  if (static_cast<uint32_t>(product) < bound) {
    // (2^32 - bound) % bound, with no division where the range passes a third of 2^32, as that
    // of the sequence numbers does: half of their draws come here.
    uint32_t threshold = 0u - bound;
    if (threshold >= bound) {
      threshold -= bound;
      if (threshold >= bound) threshold %= bound;
    }
    while (static_cast<uint32_t>(product) < threshold) product = static_cast<uint64_t>(generator()) * bound;
  }
  return static_cast<int32_t>(product >> 32);
}

}  // namespace ordwin
