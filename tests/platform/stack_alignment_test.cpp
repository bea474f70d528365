// SSE2 code must run on stacks aligned to 4 bytes only: 32-bit Windows programs start
// threads and call callbacks and COM methods that way. The x86 toolchain makes every
// function that keeps 16-byte vectors on its stack realign it; a build that assumed a
// 16-byte aligned stack on entry faults here on x86 (an aligned SSE access).
#include <emmintrin.h>
#include <gtest/gtest.h>

#include "skewed_call.h"

namespace veltrano::test {
namespace {

int SumPair(const __m128i* pair) {
  return _mm_cvtsi128_si32(_mm_add_epi32(_mm_load_si128(pair), _mm_load_si128(pair + 1)));
}
// Called through a pointer, so that the pair stays a real array on the caller's stack.
int (*volatile g_sum_pair)(const __m128i*) = &SumPair;

void AddVectorsOnTheStack(void* context) {
  int* value = static_cast<int*>(context);
  const __m128i pair[2] = {_mm_set1_epi32(*value), _mm_set1_epi32(3)};
  *value = g_sum_pair(pair);
}

TEST(StackAlignment, SseVectorsOnTheStackAtEveryFourByteOffset) {
  for (unsigned skew = 0; skew < 16; skew += 4) {
    int value = 39;
    CallWithSkewedStack(&AddVectorsOnTheStack, &value, skew);
    EXPECT_EQ(42, value) << "skew " << skew;
  }
}

}  // namespace
}  // namespace veltrano::test
