// The fallback picture: decoded once, converted once per format, grey where it does
// not fit, a sticky failure for a picture that can never be shown, and none for a
// passing shortage of memory. The decoder is a fake the test scripts; one test uses
// the real picture.
#include "camera/placeholder_cache.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <vector>

#include "camera/placeholder_frame.h"

namespace veltrano::camera {
namespace {

enum class DecodeOutcome { kPicture, kOutOfMemory, kFailure, kWrongSize };

struct DecoderScript {
  std::vector<DecodeOutcome> outcomes;  // one per call; calls beyond it are failures
  std::vector<std::pair<uint32_t, uint32_t>> calls;
};
DecoderScript g_script;

bool ScriptedDecoder(uint32_t width, uint32_t height, std::vector<uint8_t>& frame, bool* out_of_memory) noexcept {
  const size_t call = g_script.calls.size();
  g_script.calls.emplace_back(width, height);
  if (out_of_memory) *out_of_memory = false;
  if (call >= g_script.outcomes.size()) {
    ADD_FAILURE() << "decoder called more often than scripted";
    return false;
  }
  switch (g_script.outcomes[call]) {
    case DecodeOutcome::kPicture:
      frame.assign(static_cast<size_t>(width) * height * 2, static_cast<uint8_t>(0x40 + call));
      return true;
    case DecodeOutcome::kOutOfMemory:
      if (out_of_memory) *out_of_memory = true;
      return false;
    case DecodeOutcome::kFailure:
      return false;
    case DecodeOutcome::kWrongSize:
      frame.assign(static_cast<size_t>(width) * height * 2 - 4, 0x77);
      return true;
  }
  return false;
}

constexpr uint32_t kPictureBytes = 1280 * 720 * 2;

VideoFormat Format(imaging::PixelFormat format, int32_t width, int32_t height) {
  VideoFormat result;
  result.format = format;
  result.width = width;
  result.height = height;
  result.image_size = static_cast<int32_t>(imaging::FrameBytes(format, width, height));
  return result;
}
const VideoFormat kYuy2Own = Format(imaging::PixelFormat::kYuy2, 1280, 720);
const VideoFormat kYuy2Small = Format(imaging::PixelFormat::kYuy2, 640, 360);  // same shape: no bars

class PlaceholderCacheTest : public testing::Test {
 protected:
  void SetUp() override { g_script = {}; }

  // Fills a buffer of `length` bytes (plus a guard) and returns it.
  std::vector<BYTE> FillOnce(uint32_t length, const VideoFormat& format) {
    std::vector<BYTE> buffer(length + 16, 0x11);
    EXPECT_EQ(length, cache_.Fill(buffer.data(), length, format));
    for (size_t i = length; i < buffer.size(); ++i) {
      if (buffer[i] != 0x11) {
        ADD_FAILURE() << "written past the length at " << i;
        break;
      }
    }
    buffer.resize(length);
    return buffer;
  }

  PlaceholderCache cache_{&ScriptedDecoder};
};

std::vector<BYTE> Filled(size_t length, BYTE value) { return std::vector<BYTE>(length, value); }

// RGB32 grey: B, G, R 0x80 and an opaque fourth byte per pixel.
std::vector<BYTE> GreyRgb32(size_t length) {
  std::vector<BYTE> grey(length, 0x80);
  for (size_t i = 3; i < length; i += 4) grey[i] = 0xFF;
  return grey;
}

// The scripted picture is one flat byte, so every size and shape of it in YUY2 is
// that byte throughout.
TEST_F(PlaceholderCacheTest, DecodesOnceAtThePicturesSizeAndConvertsOncePerFormat) {
  g_script.outcomes = {DecodeOutcome::kPicture};
  EXPECT_EQ(Filled(kPictureBytes, 0x40), FillOnce(kPictureBytes, kYuy2Own));
  EXPECT_EQ(Filled(kPictureBytes, 0x40), FillOnce(kPictureBytes, kYuy2Own));
  EXPECT_EQ(Filled(640 * 360 * 2, 0x40), FillOnce(640 * 360 * 2, kYuy2Small));
  EXPECT_EQ(Filled(kPictureBytes, 0x40), FillOnce(kPictureBytes, kYuy2Own));
  ASSERT_EQ(1u, g_script.calls.size());
  EXPECT_EQ(std::make_pair(1280u, 720u), g_script.calls[0]);
  EXPECT_EQ(1u, cache_.decodes());
  EXPECT_FALSE(cache_.failed());
}

TEST_F(PlaceholderCacheTest, PrepareBuildsAheadOfTheFirstFill) {
  g_script.outcomes = {DecodeOutcome::kPicture};
  cache_.Prepare(kPictureBytes - 2, kYuy2Own);  // would not fit such a sample: nothing built
  EXPECT_TRUE(g_script.calls.empty());
  cache_.Prepare(kPictureBytes, kYuy2Own);
  EXPECT_EQ(1u, g_script.calls.size());
  EXPECT_EQ(kPictureBytes, cache_.cached_bytes());
  EXPECT_EQ(Filled(kPictureBytes, 0x40), FillOnce(kPictureBytes, kYuy2Own));
  EXPECT_EQ(1u, g_script.calls.size());
}

TEST_F(PlaceholderCacheTest, GreyWhereTheFrameDoesNotFillTheSample) {
  // An image size other than one frame of the format, a size no format holds: grey,
  // and the decoder is never asked.
  EXPECT_EQ(Filled(30, 0x80), FillOnce(30, Format(imaging::PixelFormat::kYuy2, 8, 2)));
  EXPECT_EQ(Filled(34, 0x80), FillOnce(34, Format(imaging::PixelFormat::kYuy2, 8, 2)));
  EXPECT_EQ(Filled(32, 0x80), FillOnce(32, Format(imaging::PixelFormat::kYuy2, 8, -2)));
  EXPECT_EQ(Filled(32, 0x80), FillOnce(32, Format(imaging::PixelFormat::kNv12, 8, 3)));
  EXPECT_EQ(Filled(1, 0x80), FillOnce(1, Format(imaging::PixelFormat::kYuy2, 8, 0)));
  EXPECT_EQ(Filled(50, 0x80), FillOnce(50, Format(imaging::PixelFormat::kRgb24, 4, 4)));
  EXPECT_EQ(GreyRgb32(62), FillOnce(62, Format(imaging::PixelFormat::kRgb32, 4, 4)));
  EXPECT_EQ(GreyRgb32(4), FillOnce(4, Format(imaging::PixelFormat::kRgb32, 4, 4)));
  EXPECT_TRUE(g_script.calls.empty());
  EXPECT_FALSE(cache_.failed());
}

TEST_F(PlaceholderCacheTest, FailureIsStickyAcrossFormats) {
  for (const DecodeOutcome outcome : {DecodeOutcome::kFailure, DecodeOutcome::kWrongSize}) {
    g_script = {};
    g_script.outcomes = {outcome};
    PlaceholderCache cache(&ScriptedDecoder);
    std::vector<BYTE> buffer(kPictureBytes);
    cache.Fill(buffer.data(), kPictureBytes, kYuy2Own);
    EXPECT_EQ(Filled(kPictureBytes, 0x80), buffer);
    EXPECT_TRUE(cache.failed());
    cache.Fill(buffer.data(), 640 * 360 * 2, kYuy2Small);
    EXPECT_EQ(Filled(640 * 360 * 2, 0x80), std::vector<BYTE>(buffer.begin(), buffer.begin() + 640 * 360 * 2));
    const VideoFormat rgb32 = Format(imaging::PixelFormat::kRgb32, 640, 360);
    cache.Fill(buffer.data(), 640 * 360 * 4, rgb32);
    EXPECT_EQ(GreyRgb32(640 * 360 * 4), std::vector<BYTE>(buffer.begin(), buffer.begin() + 640 * 360 * 4));
    EXPECT_EQ(1u, g_script.calls.size());
    EXPECT_EQ(0u, cache.cached_bytes());
  }
}

TEST_F(PlaceholderCacheTest, OutOfMemoryIsGreyForThatSampleOnly) {
  g_script.outcomes = {DecodeOutcome::kOutOfMemory, DecodeOutcome::kPicture};
  EXPECT_EQ(Filled(kPictureBytes, 0x80), FillOnce(kPictureBytes, kYuy2Own));
  EXPECT_FALSE(cache_.failed());
  EXPECT_EQ(0u, cache_.cached_bytes());
  EXPECT_EQ(Filled(kPictureBytes, 0x41), FillOnce(kPictureBytes, kYuy2Own));  // the next sample succeeds
  EXPECT_EQ(2u, g_script.calls.size());
}

// The real picture: its own size exactly as decoded; a 4:3 size in RGB24 scaled with
// black bars above and below, the grey background between them.
TEST(PlaceholderCacheReal, EveryFormatShowsThePicture) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    std::vector<uint8_t> expected;
    ASSERT_TRUE(DecodePlaceholderFrame(1280, 720, expected));
    PlaceholderCache cache;
    std::vector<BYTE> frame(kPictureBytes);
    EXPECT_EQ(kPictureBytes, cache.Fill(frame.data(), kPictureBytes, kYuy2Own));
    EXPECT_TRUE(frame == expected);

    const VideoFormat rgb = Format(imaging::PixelFormat::kRgb24, 640, 480);
    std::vector<BYTE> small(rgb.image_size);
    cache.Fill(small.data(), static_cast<uint32_t>(small.size()), rgb);
    EXPECT_FALSE(cache.failed());
    const auto pixel = [&](int x, int top_row) { return &small[(479 - top_row) * 1920 + x * 3]; };
    for (const int row : {0, 59, 420, 479}) {  // bars: 640 x 360 content from row 60
      EXPECT_EQ(0, pixel(320, row)[0] | pixel(320, row)[1] | pixel(320, row)[2]) << "bar row " << row;
    }
    for (const int row : {61, 100, 418}) {
      for (int channel = 0; channel < 3; ++channel) {
        EXPECT_NEAR(124, pixel(20, row)[channel], 8) << "background at row " << row;
      }
    }
  }
  CoUninitialize();
}

}  // namespace
}  // namespace veltrano::camera
