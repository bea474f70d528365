// The fallback picture: built once per size, grey where it does not fit, a sticky
// failure for a picture that can never be shown, and none for a passing shortage of
// memory. The decoder is a fake the test scripts; one test uses the real picture.
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
      frame.assign(static_cast<size_t>(width) * height * 2 - 2, 0x77);
      return true;
  }
  return false;
}

class PlaceholderCacheTest : public testing::Test {
 protected:
  void SetUp() override { g_script = {}; }

  // Fills a buffer of `length` bytes (plus a guard) and returns it.
  std::vector<BYTE> FillOnce(uint32_t length, LONG width, LONG height) {
    std::vector<BYTE> buffer(length + 16, 0x11);
    EXPECT_EQ(length, cache_.Fill(buffer.data(), length, width, height));
    for (size_t i = length; i < buffer.size(); ++i) EXPECT_EQ(0x11, buffer[i]) << "written past the length at " << i;
    buffer.resize(length);
    return buffer;
  }

  PlaceholderCache cache_{&ScriptedDecoder};
};

std::vector<BYTE> Filled(size_t length, BYTE value) { return std::vector<BYTE>(length, value); }

TEST_F(PlaceholderCacheTest, BuildsOncePerSizeAndCopiesFromTheCache) {
  g_script.outcomes = {DecodeOutcome::kPicture, DecodeOutcome::kPicture};
  EXPECT_EQ(Filled(8 * 2 * 2, 0x40), FillOnce(32, 8, 2));
  EXPECT_EQ(Filled(32, 0x40), FillOnce(32, 8, 2));
  EXPECT_EQ(1u, g_script.calls.size());
  // Another size rebuilds.
  EXPECT_EQ(Filled(4 * 4 * 2, 0x41), FillOnce(32, 4, 4));
  ASSERT_EQ(2u, g_script.calls.size());
  EXPECT_EQ(std::make_pair(4u, 4u), g_script.calls[1]);
  EXPECT_FALSE(cache_.failed());
}

TEST_F(PlaceholderCacheTest, PrepareBuildsAheadOfTheFirstFill) {
  g_script.outcomes = {DecodeOutcome::kPicture};
  cache_.Prepare(30, 8, 2);  // would not fit such a sample: nothing built
  EXPECT_TRUE(g_script.calls.empty());
  cache_.Prepare(32, 8, 2);
  EXPECT_EQ(1u, g_script.calls.size());
  EXPECT_EQ(32u, cache_.cached_bytes());
  EXPECT_EQ(Filled(32, 0x40), FillOnce(32, 8, 2));
  cache_.Prepare(32, 8, 2);
  EXPECT_EQ(1u, g_script.calls.size());
}

TEST_F(PlaceholderCacheTest, GreyWhereTheFrameDoesNotFillTheSample) {
  // Image size other than width x height x 2, a non-positive height, a negative width:
  // grey, and the decoder is never asked.
  EXPECT_EQ(Filled(30, 0x80), FillOnce(30, 8, 2));
  EXPECT_EQ(Filled(34, 0x80), FillOnce(34, 8, 2));
  EXPECT_EQ(Filled(32, 0x80), FillOnce(32, 8, -2));
  EXPECT_EQ(Filled(32, 0x80), FillOnce(32, -8, -2));
  EXPECT_EQ(Filled(1, 0x80), FillOnce(1, 8, 0));
  EXPECT_TRUE(g_script.calls.empty());
  EXPECT_FALSE(cache_.failed());
}

TEST_F(PlaceholderCacheTest, FailureIsStickyAcrossSizes) {
  g_script.outcomes = {DecodeOutcome::kFailure};
  EXPECT_EQ(Filled(32, 0x80), FillOnce(32, 8, 2));
  EXPECT_TRUE(cache_.failed());
  EXPECT_EQ(Filled(32, 0x80), FillOnce(32, 8, 2));
  EXPECT_EQ(Filled(32, 0x80), FillOnce(32, 4, 4));
  EXPECT_EQ(1u, g_script.calls.size());
  EXPECT_EQ(0u, cache_.cached_bytes());
}

TEST_F(PlaceholderCacheTest, PictureOfTheWrongSizeIsAFailure) {
  g_script.outcomes = {DecodeOutcome::kWrongSize};
  EXPECT_EQ(Filled(32, 0x80), FillOnce(32, 8, 2));
  EXPECT_TRUE(cache_.failed());
  EXPECT_EQ(0u, cache_.cached_bytes());
}

TEST_F(PlaceholderCacheTest, OutOfMemoryIsGreyForThatSampleOnly) {
  g_script.outcomes = {DecodeOutcome::kPicture, DecodeOutcome::kOutOfMemory, DecodeOutcome::kPicture};
  EXPECT_EQ(Filled(32, 0x40), FillOnce(32, 8, 2));
  EXPECT_EQ(Filled(32, 0x80), FillOnce(32, 4, 4));  // the rebuild runs out of memory
  EXPECT_FALSE(cache_.failed());
  EXPECT_EQ(0u, cache_.cached_bytes());
  EXPECT_EQ(Filled(32, 0x42), FillOnce(32, 4, 4));  // and succeeds at the next sample
  EXPECT_EQ(3u, g_script.calls.size());
}

TEST(PlaceholderCacheReal, CameraSizeGivesThePictureOtherSizesGreyForGood) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    std::vector<uint8_t> expected;
    ASSERT_TRUE(DecodePlaceholderFrame(1280, 720, expected));
    PlaceholderCache cache;
    std::vector<BYTE> frame(1843200);
    EXPECT_EQ(1843200u, cache.Fill(frame.data(), 1843200, 1280, 720));
    EXPECT_TRUE(frame == expected);
    EXPECT_FALSE(cache.failed());

    // The picture is never scaled: another size fails the build, and from then on
    // even the picture's own size is grey.
    std::vector<BYTE> small(640 * 480 * 2);
    cache.Fill(small.data(), 640 * 480 * 2, 640, 480);
    EXPECT_EQ(Filled(small.size(), 0x80), small);
    EXPECT_TRUE(cache.failed());
    cache.Fill(frame.data(), 1843200, 1280, 720);
    EXPECT_EQ(Filled(frame.size(), 0x80), frame);
  }
  CoUninitialize();
}

}  // namespace
}  // namespace veltrano::camera
