// The layout rule and the slot index rule, including the sizes that must be refused
// because they would wrap in 32 bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "channel/frame_section_layout.h"

namespace veltrano::channel {
namespace {

TEST(FrameSectionLayout, SlotsAndTotalFor1280x720) {
  FrameSectionLayout layout;
  ASSERT_TRUE(ComputeFrameSectionLayout(720, 2560, &layout));
  EXPECT_EQ(1843200u, layout.frame_size);
  const uint32_t expected[kSlotCount] = {128, 1843392, 3686656, 5529920, 7373184, 9216448};
  for (uint32_t k = 0; k < kSlotCount; ++k) EXPECT_EQ(expected[k], layout.slot_offsets[k]) << "slot " << k;
  EXPECT_EQ(11059712u, layout.total_size);
}

TEST(FrameSectionLayout, EverySlotStartsOnTheFirstBoundaryAfterThePrevious) {
  // Odd sizes exercise the rounding; the largest fits with a few bytes to spare.
  const struct {
    int32_t height, stride;
  } cases[] = {{1, 1}, {3, 47}, {480, 1280}, {1, 715827800}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.height << " x " << c.stride);
    FrameSectionLayout layout;
    ASSERT_TRUE(ComputeFrameSectionLayout(c.height, c.stride, &layout));
    const uint64_t frame = static_cast<uint64_t>(c.height) * static_cast<uint64_t>(c.stride);
    EXPECT_EQ(frame, layout.frame_size);
    EXPECT_EQ(128u, layout.slot_offsets[0]);
    for (uint32_t k = 0; k < kSlotCount; ++k) {
      const uint64_t end = uint64_t{layout.slot_offsets[k]} + 16 + frame;
      const uint64_t next = k + 1 < kSlotCount ? layout.slot_offsets[k + 1] : layout.total_size;
      EXPECT_EQ(0u, next % 64);
      EXPECT_GE(next, end);
      EXPECT_LT(next, end + 64);
    }
  }
}

TEST(FrameSectionLayout, RefusesSizesThatDoNotFitOrAreNotPositive) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  const struct {
    int32_t height, stride;
  } cases[] = {
      {0, 2560},          {720, 0},   {-720, 2560}, {720, -2560}, {-1, -1},
      {65536, 65536},     // frame size 2^32: wraps to 0 in 32 bits
      {kMax, kMax},       // frame size near 2^62
      {1, 715827882},     // frame fits, six slots do not (total just above 2^32)
      {3, 1431655765},    // frame size 2^32 - 1 itself
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.height << " x " << c.stride);
    FrameSectionLayout layout;
    layout.frame_size = 0xABABABAB;
    EXPECT_FALSE(ComputeFrameSectionLayout(c.height, c.stride, &layout));
    EXPECT_EQ(0xABABABABu, layout.frame_size) << "a refused layout is left untouched";
  }
  EXPECT_FALSE(ComputeFrameSectionLayout(720, 2560, nullptr));
}

TEST(SlotIndex, ValuesAroundBothWraps) {
  const struct {
    uint32_t sequence, slot;
  } cases[] = {
      {0, 0},          {1, 1},          {5, 5},          {6, 0},          {7, 1},
      {0x7FFFFFFF, 1}, {0x80000000, 4}, {0x80000001, 5}, {0x80000002, 0}, {0xFFFFFFFE, 4},
      {0xFFFFFFFF, 5},
  };
  for (const auto& c : cases) EXPECT_EQ(c.slot, SlotIndexOf(c.sequence)) << "sequence " << c.sequence;
}

TEST(SlotIndex, AgreesWithTheUnsignedFormulation) {
  // Below 2^31 the slot is s mod 6, from 2^31 on it is (s + 2) mod 6: every value
  // near the edges of both halves, and a sparse walk across the whole range.
  auto expected = [](uint64_t s) { return s < 0x80000000ull ? s % 6 : (s + 2) % 6; };
  for (uint64_t start : {0x0ull, 0x7FFFFFC0ull, 0x80000000ull, 0xFFFFFFC0ull}) {
    for (uint64_t s = start; s < start + 64; ++s) ASSERT_EQ(expected(s), SlotIndexOf(static_cast<uint32_t>(s))) << s;
  }
  for (uint64_t s = 0; s <= 0xFFFFFFFFull; s += 0x1000003) {
    ASSERT_EQ(expected(s), SlotIndexOf(static_cast<uint32_t>(s))) << s;
  }
}

}  // namespace
}  // namespace veltrano::channel
