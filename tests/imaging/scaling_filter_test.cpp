// The resampling tables and the letterbox rectangle.
#include "imaging/scaling_filter.h"

#include <gtest/gtest.h>

#include "imaging/letterbox.h"

namespace veltrano::imaging {
namespace {

TEST(ScalingFilter, WeightsSumTo256InsideTheSource) {
  const int32_t sizes[][2] = {{1280, 1920}, {640, 960},  {1, 1080}, {2, 1920}, {720, 540}, {1280, 640},
                              {3840, 320},  {2160, 90},  {3000, 2}, {5, 3},    {181, 720}, {7, 7}};
  for (const auto& size : sizes) {
    for (FilterAxis axis : {FilterAxis::kVertical, FilterAxis::kHorizontal}) {
      const ScalingFilter filter = BuildScalingFilter(size[0], size[1], axis);
      for (int32_t i = 0; i < size[1]; ++i) {
        int sum = 0;
        for (int32_t k = 0; k < filter.taps; ++k) {
          const int weight = filter.weights[static_cast<size_t>(i) * filter.taps + k];
          EXPECT_GE(weight, 0);
          sum += weight;
        }
        EXPECT_EQ(256, sum) << size[0] << " -> " << size[1] << " entry " << i;
        EXPECT_GE(filter.start[i], 0);
        EXPECT_LE(filter.start[i] + filter.taps, size[0]) << size[0] << " -> " << size[1] << " entry " << i;
      }
    }
  }
}

TEST(ScalingFilter, BilinearWhenEnlarging) {
  // 1280 -> 1920: samples at -1/6 (the edge), 1/2, 7/6, ...
  const ScalingFilter filter = BuildScalingFilter(1280, 1920, FilterAxis::kVertical);
  ASSERT_EQ(2, filter.taps);
  const int expected[][3] = {{0, 256, 0}, {0, 128, 128}, {1, 213, 43}, {1, 43, 213}, {2, 128, 128}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(expected[i][0], filter.start[i]) << i;
    EXPECT_EQ(expected[i][1], filter.weights[2 * i]) << i;
    EXPECT_EQ(expected[i][2], filter.weights[2 * i + 1]) << i;
  }
  EXPECT_EQ(256, filter.weights[2 * 1919 + 1]);  // the last sample, exactly
}

TEST(ScalingFilter, ThreeHalvesOnlyForTheExactRatio) {
  struct Case {
    int32_t source, target;
    bool three_halves;
  };
  const Case cases[] = {{1280, 1920, true}, {640, 960, true},   {720, 1080, true},   {2, 3, true},
                        {4, 6, true},       {1282, 1920, false}, {1280, 1922, false}, {1920, 1280, false},
                        {3, 4, false},      {1, 2, false},       {640, 640, false}};
  for (const Case& c : cases) {
    for (FilterAxis axis : {FilterAxis::kVertical, FilterAxis::kHorizontal}) {
      EXPECT_EQ(c.three_halves, BuildScalingFilter(c.source, c.target, axis).three_halves)
          << c.source << " -> " << c.target;
    }
  }
}

TEST(ScalingFilter, AreaAverageWhenReducing) {
  // 3840 -> 320: twelve samples each, none skipped.
  const ScalingFilter twelve = BuildScalingFilter(3840, 320, FilterAxis::kHorizontal);
  EXPECT_EQ(12, twelve.taps);
  EXPECT_EQ(12 * 7, twelve.start[7]);
  for (int32_t k = 0; k < 12; ++k) EXPECT_NEAR(21, twelve.weights[7 * 12 + k], 1);
  EXPECT_EQ(320, twelve.padded_outputs);
  const ScalingFilter half = BuildScalingFilter(1280, 640, FilterAxis::kVertical);
  EXPECT_TRUE(half.halving);
  EXPECT_EQ(128, half.weights[0]);
  EXPECT_TRUE(BuildScalingFilter(720, 720, FilterAxis::kVertical).identity);
}

TEST(Letterbox, FitContent) {
  struct Case {
    int32_t sw, sh, tw, th;
    ContentRect rect;
  };
  const Case cases[] = {
      {1280, 720, 640, 480, {0, 60, 640, 360}},    // 16:9 in 4:3: bars above and below
      {640, 480, 1280, 720, {160, 0, 960, 720}},   // 4:3 in 16:9: bars left and right
      {1920, 1080, 1280, 720, {0, 0, 1280, 720}},  {1280, 720, 320, 240, {0, 30, 320, 180}},
      {2, 2, 1920, 1080, {420, 0, 1080, 1080}},    {3000, 2, 640, 360, {0, 178, 640, 2}},
      {1282, 720, 1280, 720, {0, 0, 1280, 718}},   {1280, 719, 1280, 720, {0, 0, 1280, 720}},
      {1280, 720, 2, 2, {0, 0, 2, 2}},             {100, 3000, 320, 240, {156, 0, 8, 240}},
  };
  for (const Case& c : cases) {
    const ContentRect r = FitContent(c.sw, c.sh, c.tw, c.th);
    EXPECT_EQ(c.rect.x, r.x) << c.sw << "x" << c.sh << " in " << c.tw << "x" << c.th;
    EXPECT_EQ(c.rect.y, r.y) << c.sw << "x" << c.sh << " in " << c.tw << "x" << c.th;
    EXPECT_EQ(c.rect.width, r.width) << c.sw << "x" << c.sh << " in " << c.tw << "x" << c.th;
    EXPECT_EQ(c.rect.height, r.height) << c.sw << "x" << c.sh << " in " << c.tw << "x" << c.th;
  }
  EXPECT_EQ(0, FitContent(1280, 720, 641, 480).width);  // odd target
}

}  // namespace
}  // namespace veltrano::imaging
