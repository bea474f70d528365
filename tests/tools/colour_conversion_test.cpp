// Studio-range BT.601 conversion both ways, with the worked values that the camera's
// placeholder conversion also produces.
#include "tools/common/colour_conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace veltrano::tools {
namespace {

TEST(ColourConversion, RgbToYuvWorkedValues) {
  struct Case {
    uint8_t r, g, b, y, u, v;
  };
  const Case cases[] = {
      {255, 255, 255, 235, 128, 128}, {0, 0, 0, 16, 128, 128},    {0, 255, 0, 144, 54, 34},
      {124, 124, 124, 123, 128, 128}, {255, 0, 0, 82, 90, 240},   {0, 0, 255, 41, 240, 110},
  };
  for (const Case& c : cases) {
    const Yuv yuv = RgbToYuv(c.r, c.g, c.b);
    EXPECT_EQ(c.y, yuv.y) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    EXPECT_EQ(c.u, yuv.u) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    EXPECT_EQ(c.v, yuv.v) << int(c.r) << "," << int(c.g) << "," << int(c.b);
  }
}

TEST(ColourConversion, BgraRowToYuy2AveragesChromaPerPair) {
  // Black then white, then white then green (U 128/54 -> 91, V 128/34 -> 81).
  const uint8_t bgra[] = {0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 255, 0, 255};
  uint8_t yuy2[8] = {};
  ConvertBgraToYuy2(bgra, 4, 1, 16, yuy2);
  const uint8_t expected[] = {16, 128, 235, 128, 235, 91, 144, 81};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(expected[i], yuy2[i]) << i;
}

TEST(ColourConversion, Yuy2ToBgraInvertsStudioRange) {
  struct Case {
    uint8_t y, u, v, b, g, r;
  };
  const Case cases[] = {
      {235, 128, 128, 255, 255, 255},  // white
      {16, 128, 128, 0, 0, 0},         // black
      {144, 54, 34, 0, 254, 0},        // green, clamped below 0 on red and blue
      {123, 128, 128, 125, 125, 125},  // placeholder grey (RGB 124 encodes as Y 123)
      {255, 255, 255, 255, 125, 255},  // above white clamps at 255
  };
  for (const Case& c : cases) {
    const uint8_t yuy2[4] = {c.y, c.u, c.y, c.v};
    uint8_t bgra[8] = {};
    ConvertYuy2ToBgra(yuy2, 2, 1, 4, bgra);
    for (int pixel = 0; pixel < 2; ++pixel) {
      EXPECT_EQ(c.b, bgra[pixel * 4 + 0]) << int(c.y);
      EXPECT_EQ(c.g, bgra[pixel * 4 + 1]) << int(c.y);
      EXPECT_EQ(c.r, bgra[pixel * 4 + 2]) << int(c.y);
      EXPECT_EQ(255, bgra[pixel * 4 + 3]) << int(c.y);
    }
  }
}

TEST(ColourConversion, RoundTripStaysWithinTwoLevelsForGreyAndPairedColours) {
  // Pixel pairs of one colour keep their own chroma, so the round trip is only
  // the quantisation of the two integer transforms.
  std::vector<uint8_t> bgra;
  for (int r = 0; r < 256; r += 15) {
    for (int g = 0; g < 256; g += 15) {
      for (int b = 0; b < 256; b += 15) {
        for (int k = 0; k < 2; ++k) bgra.insert(bgra.end(), {uint8_t(b), uint8_t(g), uint8_t(r), 255});
      }
    }
  }
  const int width = static_cast<int>(bgra.size() / 4);
  std::vector<uint8_t> yuy2(static_cast<size_t>(width) * 2);
  std::vector<uint8_t> back(bgra.size());
  ConvertBgraToYuy2(bgra.data(), width, 1, width * 4, yuy2.data());
  ConvertYuy2ToBgra(yuy2.data(), width, 1, width * 2, back.data());
  int worst = 0;
  for (size_t i = 0; i < bgra.size(); ++i) worst = std::max(worst, std::abs(bgra[i] - back[i]));
  EXPECT_LE(worst, 2);
}

}  // namespace
}  // namespace veltrano::tools
