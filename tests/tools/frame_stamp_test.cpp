// The feed's stamp strip: exact bytes written, exact values read back, and frames
// that must not decode (placeholder, damaged strip, frames too small); the strip in
// proportion on other sizes, read back in every subtype.
#include "tools/common/frame_stamp.h"

#include <gtest/gtest.h>

#include <vector>

#include "frame_encoding.h"

namespace veltrano::tools {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

std::vector<uint8_t> Frame(uint8_t fill) { return std::vector<uint8_t>(static_cast<size_t>(kWidth) * kHeight * 2, fill); }

uint8_t LumaAt(const std::vector<uint8_t>& frame, int x, int y) { return frame[(static_cast<size_t>(y) * kWidth + x) * 2]; }

TEST(FrameStamp, RoundTripsCounterAndTimeExactly) {
  const FrameStamp cases[] = {{0, 0}, {1, 1}, {0xDEADBEEF, 0x0123456789ABCDEFull}, {0xFFFFFFFF, ~0ull}};
  for (const FrameStamp& stamp : cases) {
    std::vector<uint8_t> frame = Frame(0x80);
    ASSERT_TRUE(WriteFrameStamp(frame.data(), kWidth, kHeight, stamp));
    const std::optional<FrameStamp> read = ReadFrameStamp(frame.data(), kWidth, kHeight);
    ASSERT_TRUE(read.has_value()) << stamp.counter;
    EXPECT_EQ(stamp.counter, read->counter);
    EXPECT_EQ(stamp.send_time, read->send_time);
  }
}

TEST(FrameStamp, WritesBlackAndWhiteBlocksOnlyInsideTheStrip) {
  std::vector<uint8_t> frame = Frame(0x55);
  ASSERT_TRUE(WriteFrameStamp(frame.data(), kWidth, kHeight, FrameStamp{0, 0}));
  // Marker 0x56C7, least significant bit first: bits 0..2 are 1, bit 3 is 0.
  EXPECT_EQ(235, LumaAt(frame, 0, 0));
  EXPECT_EQ(235, LumaAt(frame, 15, 15));
  EXPECT_EQ(16, LumaAt(frame, 3 * 16, 0));
  EXPECT_EQ(16, LumaAt(frame, 3 * 16 + 15, 31 - 16));
  EXPECT_EQ(128, frame[1]);  // U
  EXPECT_EQ(128, frame[3]);  // V
  // Every byte of the strip is a block byte; nothing right of or below it changed.
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const size_t at = (static_cast<size_t>(y) * kWidth + x) * 2;
      if (x < kStampWidth && y < kStampHeight) {
        ASSERT_TRUE(frame[at] == 16 || frame[at] == 235) << x << "," << y;
        ASSERT_EQ(128, frame[at + 1]) << x << "," << y;
      } else {
        ASSERT_EQ(0x55, frame[at]) << x << "," << y;
        ASSERT_EQ(0x55, frame[at + 1]) << x << "," << y;
      }
    }
  }
}

TEST(FrameStamp, RefusesFramesWithoutAValidStrip) {
  std::vector<uint8_t> grey = Frame(0x80);
  EXPECT_FALSE(ReadFrameStamp(grey.data(), kWidth, kHeight).has_value());
  std::vector<uint8_t> black = Frame(0x10);
  EXPECT_FALSE(ReadFrameStamp(black.data(), kWidth, kHeight).has_value());

  // One flipped block among the counter bits fails the check word.
  std::vector<uint8_t> frame = Frame(0x80);
  ASSERT_TRUE(WriteFrameStamp(frame.data(), kWidth, kHeight, FrameStamp{1234, 5678}));
  const int bit = 20;
  const size_t centre = (static_cast<size_t>(8) * kWidth + bit * 16 + 8) * 2;
  frame[centre] = frame[centre] >= 128 ? 16 : 235;
  EXPECT_FALSE(ReadFrameStamp(frame.data(), kWidth, kHeight).has_value());
}

TEST(FrameStamp, RefusesFramesSmallerThanTheStrip) {
  std::vector<uint8_t> frame(static_cast<size_t>(kStampWidth) * kStampHeight * 2, 0x77);
  EXPECT_FALSE(WriteFrameStamp(frame.data(), kStampWidth - 2, kStampHeight, FrameStamp{1, 1}));
  EXPECT_FALSE(WriteFrameStamp(frame.data(), kStampWidth, kStampHeight - 1, FrameStamp{1, 1}));
  EXPECT_EQ(0x77, frame[0]);
  EXPECT_FALSE(ReadFrameStamp(frame.data(), kStampWidth - 2, kStampHeight).has_value());
  EXPECT_FALSE(WriteFrameStamp(nullptr, kWidth, kHeight, FrameStamp{1, 1}));
  EXPECT_FALSE(ReadFrameStamp(nullptr, kWidth, kHeight).has_value());
  // Exactly the strip's size is enough.
  ASSERT_TRUE(WriteFrameStamp(frame.data(), kStampWidth, kStampHeight, FrameStamp{7, 9}));
  EXPECT_EQ(7u, ReadFrameStamp(frame.data(), kStampWidth, kStampHeight)->counter);
}

TEST(FrameStamp, ScaledStripHasProportionalBlocksInsideThePicture) {
  // 640 x 480: the 16:9 picture is 640 x 360 from row 60, so blocks are 8 x 8.
  constexpr int kW = 640;
  constexpr int kH = 480;
  std::vector<uint8_t> frame(static_cast<size_t>(kW) * kH * 2, 0x55);
  const PictureRect design = FitRect(kStampDesignWidth, kStampDesignHeight, kW, kH);
  ASSERT_TRUE(WriteFrameStamp(frame.data(), kW, kH, design, FrameStamp{0, 0}));
  auto luma = [&](int x, int y) { return frame[(static_cast<size_t>(y) * kW + x) * 2]; };
  EXPECT_EQ(0x55, luma(0, 59));
  EXPECT_EQ(235, luma(0, 60));   // marker bits 0..2 are 1
  EXPECT_EQ(235, luma(23, 67));
  EXPECT_EQ(16, luma(24, 60));   // bit 3 is 0
  EXPECT_EQ(16, luma(31, 60));
  EXPECT_EQ(0x55, luma(0, 76));  // two rows of 8 pixels, nothing below
  EXPECT_EQ(0x55, luma(512, 60));
  EXPECT_NE(0x55, luma(511, 75));
  EXPECT_EQ(128, frame[(static_cast<size_t>(60) * kW + 1) * 2 + 1]);

  // Blocks under 2 pixels are refused, and nothing is written.
  std::vector<uint8_t> small(static_cast<size_t>(158) * 90 * 2, 0x55);
  EXPECT_FALSE(WriteFrameStamp(small.data(), 158, 90, FitRect(kStampDesignWidth, kStampDesignHeight, 158, 90),
                               FrameStamp{1, 1}));
  EXPECT_EQ(std::vector<uint8_t>(small.size(), 0x55), small);
}

// The strip written in proportion at the frame's own size, or written at 1280 x 720 and
// then scaled into the letterboxed place of the mode as the camera does, reads back in
// every subtype.
TEST(FrameStamp, ScaledStripReadsBackInEverySubtype) {
  struct Case {
    VideoSubtype subtype;
    int width;
    int height;
    bool scaled_by_camera;
  };
  const Case cases[] = {
      {VideoSubtype::kYuy2, 1280, 720, false}, {VideoSubtype::kRgb24, 640, 480, false},
      {VideoSubtype::kNv12, 1920, 1080, false}, {VideoSubtype::kI420, 320, 240, false},
      {VideoSubtype::kRgb32, 960, 540, false}, {VideoSubtype::kRgb24, 642, 362, false},
      {VideoSubtype::kYuy2, 320, 240, true},   {VideoSubtype::kYuy2, 640, 480, true},
      {VideoSubtype::kYuy2, 1920, 1080, true},
  };
  const FrameStamp stamp{0xCAFE1234u, 0x0011223344556677ull};
  std::vector<uint8_t> full_size = Frame(0x80);
  ASSERT_TRUE(WriteFrameStamp(full_size.data(), kWidth, kHeight, stamp));
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.subtype) << " " << c.width << "x" << c.height);
    std::vector<uint8_t> yuy2(static_cast<size_t>(c.width) * c.height * 2, 0x80);
    const PictureRect design = FitRect(kStampDesignWidth, kStampDesignHeight, c.width, c.height);
    if (c.scaled_by_camera) {
      yuy2 = test::LetterboxYuy2(full_size, kWidth, kHeight, c.width, c.height);
    } else {
      ASSERT_TRUE(WriteFrameStamp(yuy2.data(), c.width, c.height, design, stamp));
    }
    const std::vector<uint8_t> frame = test::EncodeFromYuy2(yuy2, c.width, c.height, c.subtype);
    const FrameLayout layout{c.subtype, c.width, c.height, IsRgb(c.subtype)};
    const std::optional<FrameStamp> read = ReadFrameStamp(FrameView(layout, frame.data(), frame.size()), design);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(stamp.counter, read->counter);
    EXPECT_EQ(stamp.send_time, read->send_time);
    if (IsRgb(c.subtype)) {
      // Read as top-down, a bottom-up frame has no strip where the reader looks.
      const FrameLayout flipped{c.subtype, c.width, c.height, false};
      EXPECT_FALSE(ReadFrameStamp(FrameView(flipped, frame.data(), frame.size()), design).has_value());
    }
  }
}

}  // namespace
}  // namespace veltrano::tools
