#include "net/VectorState.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ordwin {

#if defined(__x86_64__)

namespace {

// Built for AVX alone, so that the rest of the program keeps the baseline instruction set.
__attribute__((target("avx"))) void ZeroUpper() { _mm256_zeroupper(); }

}  // namespace

void ClearUpperVectorState() {
  static const bool hasAvx = __builtin_cpu_supports("avx");
  if (hasAvx) ZeroUpper();
}

#else

void ClearUpperVectorState() {}

#endif

}  // namespace ordwin
