// Frame sizes of the target formats in the DirectShow layout, accepted and refused.
#include "imaging/pixel_format.h"

#include <gtest/gtest.h>

namespace veltrano::imaging {
namespace {

TEST(PixelFormat, FrameBytesAccepted) {
  struct Case {
    PixelFormat format;
    int32_t width, height;
    uint32_t bytes;
  };
  const Case cases[] = {
      {PixelFormat::kYuy2, 1280, 720, 1843200},  {PixelFormat::kNv12, 1280, 720, 1382400},
      {PixelFormat::kI420, 1280, 720, 1382400},  {PixelFormat::kRgb24, 640, 480, 921600},
      {PixelFormat::kRgb32, 1920, 1080, 8294400}, {PixelFormat::kYuy2, 2, 3, 12},  // odd height is fine for YUY2
      {PixelFormat::kRgb24, 2, 3, 24},            // rows of 6 bytes padded to 8
      {PixelFormat::kRgb24, 322, 2, 1936},        // 966 -> 968
      {PixelFormat::kRgb24, 3, 3, 36},            {PixelFormat::kNv12, 2, 2, 6},
      {PixelFormat::kRgb32, 1, 1, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.bytes, FrameBytes(c.format, c.width, c.height)) << static_cast<int>(c.format) << " " << c.width
                                                                << "x" << c.height;
  }
  EXPECT_EQ(8u, RowBytes(PixelFormat::kRgb24, 2));
  EXPECT_EQ(2560u, RowBytes(PixelFormat::kYuy2, 1280));
  EXPECT_EQ(1280u, RowBytes(PixelFormat::kNv12, 1280));
  const uint32_t bits[] = {16, 12, 12, 24, 32};
  for (int f = 0; f < 5; ++f) EXPECT_EQ(bits[f], BitsPerPixel(static_cast<PixelFormat>(f)));
}

TEST(PixelFormat, FrameBytesRefused) {
  struct Case {
    PixelFormat format;
    int32_t width, height;
  };
  const Case cases[] = {
      {PixelFormat::kYuy2, 0, 720},      {PixelFormat::kRgb24, 640, 0},     {PixelFormat::kRgb32, -2, 2},
      {PixelFormat::kYuy2, 3, 2},        {PixelFormat::kNv12, 3, 2},        {PixelFormat::kI420, 641, 480},
      {PixelFormat::kNv12, 4, 3},        {PixelFormat::kI420, 2, 1},        {PixelFormat::kRgb32, 65536, 16384},
      {PixelFormat::kYuy2, 65536, 32768},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(0u, FrameBytes(c.format, c.width, c.height)) << static_cast<int>(c.format) << " " << c.width << "x"
                                                           << c.height;
  }
  EXPECT_EQ(0u, RowBytes(PixelFormat::kNv12, 3));
}

}  // namespace
}  // namespace veltrano::imaging
