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

// A uniform value from 0 to range - 1 (0 when range < 1).
int32_t Random(int32_t range);

}  // namespace ordwin
