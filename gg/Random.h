// The program's one pseudo-random generator, seeded once at start-up from the clock. Used on the
// loop's thread only.
#pragma once

#include <chrono>
#include <cstdint>

namespace ordwin {

// Milliseconds since midnight UTC of the given moment: 0 to 86399999.
uint32_t UtcMillisecondsOfDay(std::chrono::system_clock::time_point when);

// Seeds the generator; RandomizeFromClock seeds it from the UTC time of day in milliseconds.
void RandomSeed(uint32_t seed);
void RandomizeFromClock();

// The generator's next 32 bits.
uint32_t RandomBits();

// A uniform value from 0 to range - 1 (0 when range < 1). Inline, so that a constant range, as
// that of every delivered message's sequence number, leaves the draw and one multiplication.
inline int32_t Random(int32_t range) {
  if (range < 1) return 0;
  // 32 random bits multiplied with the range (Lemire's method, which the standard distribution
  // also takes for this generator and range: the same values).
  uint32_t bound = static_cast<uint32_t>(range);
  uint64_t product = static_cast<uint64_t>(RandomBits()) * bound;
  if (static_cast<uint32_t>(product) < bound) {
    // (2^32 - bound) % bound, with no division where the range passes a third of 2^32.
    uint32_t threshold = 0u - bound;
    if (threshold >= bound) {
      threshold -= bound;
      if (threshold >= bound) threshold %= bound;
    }
    while (static_cast<uint32_t>(product) < threshold) product = static_cast<uint64_t>(RandomBits()) * bound;
  }
  return static_cast<int32_t>(product >> 32);
}

}  // namespace ordwin
