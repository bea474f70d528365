// The feed's stamp strip: exact bytes written, exact values read back, and frames
// that must not decode (placeholder, damaged strip, frames too small).
#include "tools/common/frame_stamp.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace veltrano::tools
