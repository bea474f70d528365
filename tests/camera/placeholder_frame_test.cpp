// Placeholder decoding through Wine's real WIC and the BGRA-to-YUY2 row conversion.
// The artwork figures below (text band, word columns, white pixel count) are the
// ones tools/make_placeholder.py prints for resources/placeholder.png.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "camera/placeholder_frame.h"
#include "common/allocation_failure_scope.h"
#include "platform/module_instance.h"
#include "platform/task_mem.h"

namespace veltrano::camera {
namespace {

constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 720;
constexpr size_t kFrameBytes = 1843200;

// Text band of the mirrored notice: grey >= 190 in the picture, which is Y >= 179.
constexpr int kTextLuma = 179;
constexpr uint32_t kTextTop = 351, kTextBottom = 378, kTextLeft = 214, kTextRight = 1040;
// Word column ranges, left to right. Mirrored, the last word ("webcam", 116
// columns) comes first and "Veltrano" (118 columns) ends the line at the right.
constexpr std::array<std::pair<uint32_t, uint32_t>, 9> kWordColumns = {{
    {214, 329}, {342, 434}, {447, 540}, {552, 578}, {592, 658},
    {670, 712}, {727, 744}, {759, 910}, {923, 1040}}};
// Pixels of full coverage, grey 255, hence Y 235.
constexpr int kPureWhitePixels = 2635;

const std::vector<uint8_t> kMarker = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};

uint8_t LumaAt(const std::vector<uint8_t>& frame, uint32_t x, uint32_t y) {
  return frame[static_cast<size_t>(y) * kWidth * 2 + 2 * static_cast<size_t>(x)];
}

class PlaceholderDecode : public testing::Test {
 protected:
  platform::ScopedComInit com_{COINIT_MULTITHREADED};
  void SetUp() override { ASSERT_TRUE(com_.succeeded()); }
};

TEST_F(PlaceholderDecode, DecodesTheMirroredNoticeAt1280x720) {
  std::vector<uint8_t> frame = kMarker;
  bool out_of_memory = true;
  ASSERT_TRUE(DecodePlaceholderFrame(kWidth, kHeight, frame, &out_of_memory));
  EXPECT_FALSE(out_of_memory);
  ASSERT_EQ(frame.size(), kFrameBytes);

  // A grey picture: every chroma byte is exactly neutral.
  size_t off_neutral = 0;
  for (size_t i = 1; i < frame.size(); i += 2) off_neutral += frame[i] != 128;
  EXPECT_EQ(off_neutral, 0u);

  uint32_t top = kHeight, bottom = 0, left = kWidth, right = 0;
  std::vector<bool> text_column(kWidth, false);
  int pure_white = 0;
  uint64_t background_sum = 0, background_count = 0;
  uint8_t background_min = 255, background_max = 0;
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const uint8_t luma = LumaAt(frame, x, y);
      pure_white += luma == 235;
      if (luma >= kTextLuma) {
        top = std::min(top, y);
        bottom = std::max(bottom, y);
        left = std::min(left, x);
        right = std::max(right, x);
        text_column[x] = true;
      }
      const bool near_text = y + 2 >= kTextTop && y <= kTextBottom + 2 && x + 2 >= kTextLeft &&
                             x <= kTextRight + 2;
      if (!near_text) {
        background_sum += luma;
        ++background_count;
        background_min = std::min(background_min, luma);
        background_max = std::max(background_max, luma);
      }
    }
  }
  EXPECT_EQ(top, kTextTop);
  EXPECT_EQ(bottom, kTextBottom);
  EXPECT_EQ(left, kTextLeft);
  EXPECT_EQ(right, kTextRight);
  EXPECT_EQ(pure_white, kPureWhitePixels);

  // Background grey 121..125 (mean 123.07) gives Y 120..123: grey 124 and 125 both
  // give Y 123, grey 123 gives 122, so the luma mean is 122.008.
  EXPECT_EQ(background_min, 120);
  EXPECT_EQ(background_max, 123);
  const double background_mean = static_cast<double>(background_sum) / background_count;
  EXPECT_NEAR(background_mean, 122.008, 0.01);
  EXPECT_LT(background_max - background_min, 4) << "the texture is faint";

  // Words found as runs of text columns split by 9 or more blank columns.
  std::vector<std::pair<uint32_t, uint32_t>> words;
  for (uint32_t x = 0; x < kWidth; ++x) {
    if (!text_column[x]) continue;
    if (words.empty() || x - words.back().second > 9) {
      words.emplace_back(x, x);
    } else {
      words.back().second = x;
    }
  }
  const std::vector<std::pair<uint32_t, uint32_t>> expected_words(kWordColumns.begin(),
                                                                    kWordColumns.end());
  EXPECT_EQ(words, expected_words);
  // Sample pixels of the "V" at the right end: both arms at the top, open
  // between them, joined near the bottom; plain background either side of the band.
  EXPECT_EQ(LumaAt(frame, 1023, 352), 235);
  EXPECT_EQ(LumaAt(frame, 1038, 352), 235);
  EXPECT_LE(LumaAt(frame, 1030, 352), 123);
  EXPECT_EQ(LumaAt(frame, 1030, 370), 235);
  EXPECT_LE(LumaAt(frame, 100, 365), 123);
  EXPECT_LE(LumaAt(frame, 1200, 365), 123);
}

TEST_F(PlaceholderDecode, RefusesEveryOtherSizeAndLeavesTheVectorAlone) {
  const std::pair<uint32_t, uint32_t> sizes[] = {
      {640, 480}, {1279, 720}, {1281, 720}, {1280, 719}, {1280, 721},
      {720, 1280}, {0, 720},   {1280, 0},   {0, 0},      {0xFFFFFFFFu, 0xFFFFFFFFu}};
  for (const auto& [width, height] : sizes) {
    SCOPED_TRACE(testing::Message() << width << " x " << height);
    std::vector<uint8_t> frame = kMarker;
    bool out_of_memory = true;
    EXPECT_FALSE(DecodePlaceholderFrame(width, height, frame, &out_of_memory));
    EXPECT_EQ(frame, kMarker);
    EXPECT_FALSE(out_of_memory);
  }
}

// Puts the module instance back whatever a test set.
class ScopedModuleInstance {
 public:
  explicit ScopedModuleInstance(HINSTANCE instance) noexcept
      : saved_(platform::ModuleInstance()) {
    platform::SetModuleInstance(instance);
  }
  ScopedModuleInstance(const ScopedModuleInstance&) = delete;
  ScopedModuleInstance& operator=(const ScopedModuleInstance&) = delete;
  ~ScopedModuleInstance() { platform::SetModuleInstance(saved_); }

 private:
  HINSTANCE saved_;
};

TEST_F(PlaceholderDecode, RefusesWithoutModuleInstanceOrResource) {
  std::vector<uint8_t> frame = kMarker;
  bool out_of_memory = true;
  {
    ScopedModuleInstance none(nullptr);
    EXPECT_FALSE(DecodePlaceholderFrame(kWidth, kHeight, frame, &out_of_memory));
    EXPECT_FALSE(out_of_memory);
  }
  {
    // A real module that carries no picture.
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    ASSERT_EQ(::FindResourceW(kernel32, MAKEINTRESOURCEW(kPlaceholderResourceId), RT_RCDATA),
              nullptr);
    ScopedModuleInstance foreign(kernel32);
    out_of_memory = true;
    EXPECT_FALSE(DecodePlaceholderFrame(kWidth, kHeight, frame, &out_of_memory));
    EXPECT_FALSE(out_of_memory);
  }
  EXPECT_EQ(frame, kMarker);
  // And with the test module's own picture back in place it works again.
  EXPECT_TRUE(DecodePlaceholderFrame(kWidth, kHeight, frame));
  EXPECT_EQ(frame.size(), kFrameBytes);
}

TEST_F(PlaceholderDecode, OutOfMemoryIsReportedAndLeavesTheVectorAlone) {
  // The two large blocks are the BGRA working buffer (3686400 bytes) and then the
  // YUY2 frame (1843200 bytes); fail the first, then the second.
  for (int allow = 0; allow < 2; ++allow) {
    SCOPED_TRACE(testing::Message() << "large allocations allowed: " << allow);
    std::vector<uint8_t> frame = kMarker;
    bool out_of_memory = false;
    bool decoded;
    {
      test::AllocationFailureScope failure(allow, kFrameBytes);
      decoded = DecodePlaceholderFrame(kWidth, kHeight, frame, &out_of_memory);
    }
    EXPECT_FALSE(decoded);
    EXPECT_TRUE(out_of_memory);
    EXPECT_EQ(frame, kMarker);
  }
  // Without the pointer the failure is still a plain false.
  std::vector<uint8_t> frame = kMarker;
  bool decoded;
  {
    test::AllocationFailureScope failure(0, kFrameBytes);
    decoded = DecodePlaceholderFrame(kWidth, kHeight, frame);
  }
  EXPECT_FALSE(decoded);
  EXPECT_EQ(frame, kMarker);
  // The shortage passes: the next attempt succeeds and clears the flag.
  bool out_of_memory = true;
  EXPECT_TRUE(DecodePlaceholderFrame(kWidth, kHeight, frame, &out_of_memory));
  EXPECT_FALSE(out_of_memory);
  EXPECT_EQ(frame.size(), kFrameBytes);
}

// ---------------------------------------------------------------------------

struct Bgr {
  uint8_t b, g, r;
};

std::vector<uint8_t> BgraRow(std::initializer_list<Bgr> pixels, uint8_t alpha = 255) {
  std::vector<uint8_t> row;
  for (const Bgr& p : pixels) row.insert(row.end(), {p.b, p.g, p.r, alpha});
  return row;
}

constexpr Bgr kWhite{255, 255, 255}, kBlack{0, 0, 0}, kGreen{0, 255, 0}, kGrey124{124, 124, 124},
    kRed{0, 0, 255}, kBlue{255, 0, 0}, kYellow{0, 255, 255};
constexpr uint8_t kGuard = 0xA5;

TEST(Yuy2Conversion, WorkedValuesOfSinglePixels) {
  struct Case {
    Bgr pixel;
    uint8_t y, u, v;
  };
  // Green and yellow have negative U and V intermediates: floor, not truncation,
  // gives 54 and 34 (truncation would give 55 and 35).
  const Case cases[] = {{kWhite, 235, 128, 128}, {kBlack, 16, 128, 128}, {kGreen, 144, 54, 34},
                        {kGrey124, 123, 128, 128}, {kRed, 82, 90, 240},  {kBlue, 41, 240, 110},
                        {kYellow, 210, 16, 146}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "BGR " << int(c.pixel.b) << "," << int(c.pixel.g) << ","
                                    << int(c.pixel.r));
    for (uint8_t alpha : {uint8_t{255}, uint8_t{0}}) {  // alpha is ignored
      const std::vector<uint8_t> bgra = BgraRow({c.pixel}, alpha);
      std::vector<uint8_t> out(8, kGuard);
      ConvertBgraRowToYuy2(bgra.data(), 1, 0, 4, out.data());
      EXPECT_EQ(out, (std::vector<uint8_t>{c.y, c.u, c.y, c.v, kGuard, kGuard, kGuard, kGuard}));
    }
  }
}

TEST(Yuy2Conversion, PairsShareTheirChromaRoundedDown) {
  struct Case {
    std::vector<uint8_t> bgra;
    std::vector<uint8_t> yuy2;
  };
  const Case cases[] = {
      {BgraRow({kBlack, kWhite}), {16, 128, 235, 128}},
      {BgraRow({kWhite, kBlack}), {235, 128, 16, 128}},
      // U (90 + 240) / 2, V (240 + 110) / 2.
      {BgraRow({kRed, kBlue}), {82, 165, 41, 175}},
      // R0 G60 B102 has U 155 and V 99: with black the sums 283 and 227 are odd
      // and the means round down to 141 and 113.
      {BgraRow({{102, 60, 0}, kBlack}), {56, 141, 16, 113}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(8, kGuard);
    ConvertBgraRowToYuy2(c.bgra.data(), 2, 0, 4, out.data());
    std::vector<uint8_t> expected = c.yuy2;
    expected.insert(expected.end(), 4, kGuard);
    EXPECT_EQ(out, expected);
  }
}

TEST(Yuy2Conversion, OddRowsNeedRoomForTheLastGroup) {
  EXPECT_EQ(Yuy2RowBytes(0), 0u);
  EXPECT_EQ(Yuy2RowBytes(1), 4u);
  EXPECT_EQ(Yuy2RowBytes(2), 4u);
  EXPECT_EQ(Yuy2RowBytes(3), 8u);
  EXPECT_EQ(Yuy2RowBytes(1280), 2560u);
  EXPECT_EQ(Yuy2RowBytes(0xFFFFFFFFu), 0x200000000ull);  // no wrap in 32 bits

  // Two rows of three pixels in a frame of exactly (rows - 1) x row_bytes +
  // Yuy2RowBytes(3) = 16 bytes, followed by guard bytes.
  const std::vector<uint8_t> first = BgraRow({kWhite, kBlack, kGreen});
  const std::vector<uint8_t> second = BgraRow({kRed, kBlue, kGrey124});
  const uint32_t row_bytes = static_cast<uint32_t>(Yuy2RowBytes(3));
  std::vector<uint8_t> out(2 * row_bytes + 4, kGuard);
  ConvertBgraRowToYuy2(first.data(), 3, 0, row_bytes, out.data());
  ConvertBgraRowToYuy2(second.data(), 3, 1, row_bytes, out.data());
  EXPECT_EQ(out, (std::vector<uint8_t>{235, 128, 16, 128, 144, 54, 144, 34,  // row 0
                                       82, 165, 41, 175, 123, 128, 123, 128,  // row 1
                                       kGuard, kGuard, kGuard, kGuard}));
}

TEST(Yuy2Conversion, ShortRowsLeaveOutTheGroupThatDoesNotFit) {
  // Rows of 2 x 3 = 6 bytes: the lone group of pixel 2 would reach bytes 4..7,
  // two of them in the next row. It is left out; nothing beyond the row changes.
  const std::vector<uint8_t> bgra = BgraRow({kWhite, kBlack, kGreen});
  std::vector<uint8_t> out(16, kGuard);
  ConvertBgraRowToYuy2(bgra.data(), 3, 1, 6, out.data());
  EXPECT_EQ(out, (std::vector<uint8_t>{kGuard, kGuard, kGuard, kGuard, kGuard, kGuard,  // row 0
                                       235, 128, 16, 128, kGuard, kGuard,              // row 1
                                       kGuard, kGuard, kGuard, kGuard}));
  // Nothing to convert, or nowhere to write, writes nothing.
  std::vector<uint8_t> untouched(8, kGuard);
  ConvertBgraRowToYuy2(bgra.data(), 0, 0, 8, untouched.data());
  ConvertBgraRowToYuy2(nullptr, 3, 0, 8, untouched.data());
  ConvertBgraRowToYuy2(bgra.data(), 3, 0, 8, nullptr);
  EXPECT_EQ(untouched, std::vector<uint8_t>(8, kGuard));
}

// Straightforward reference: real-valued floor of the quotient, then the limit.
std::array<int, 3> ReferenceYuv(const Bgr& p) {
  auto component = [](int numerator, int offset) {
    const int value = static_cast<int>(std::floor(numerator / 256.0)) + offset;
    return value < 0 ? 0 : (value > 255 ? 255 : value);
  };
  return {component(66 * p.r + 129 * p.g + 25 * p.b + 128, 16),
          component(-38 * p.r - 74 * p.g + 112 * p.b + 128, 128),
          component(112 * p.r - 94 * p.g - 18 * p.b + 128, 128)};
}

TEST(Yuy2Conversion, MatchesAStraightforwardComputation) {
  std::vector<Bgr> pixels = {kWhite, kBlack, kGreen, kRed, kBlue, kYellow, kGrey124,
                             {1, 2, 3}, {254, 0, 1}, {0, 1, 254}, {128, 127, 129}};
  uint32_t seed = 12345;  // fixed: the same colours every run
  while (pixels.size() < 64) {
    seed = seed * 1103515245u + 12345u;
    pixels.push_back({static_cast<uint8_t>(seed >> 8), static_cast<uint8_t>(seed >> 16),
                      static_cast<uint8_t>(seed >> 24)});
  }
  std::vector<uint8_t> bgra;
  for (const Bgr& p : pixels) bgra.insert(bgra.end(), {p.b, p.g, p.r, 0x37});
  const uint32_t count = static_cast<uint32_t>(pixels.size());

  std::vector<uint8_t> expected;
  for (uint32_t j = 0; j + 1 < count; j += 2) {
    const auto a = ReferenceYuv(pixels[j]);
    const auto b = ReferenceYuv(pixels[j + 1]);
    expected.insert(expected.end(), {static_cast<uint8_t>(a[0]), static_cast<uint8_t>((a[1] + b[1]) / 2),
                                     static_cast<uint8_t>(b[0]), static_cast<uint8_t>((a[2] + b[2]) / 2)});
  }

  // Row 2 of a frame whose rows are padded by 4 bytes: the row lands at
  // 2 x row_bytes and neither the rows around it nor its padding change.
  const uint32_t row_bytes = count * 2 + 4;
  std::vector<uint8_t> frame(4 * row_bytes, kGuard);
  ConvertBgraRowToYuy2(bgra.data(), count, 2, row_bytes, frame.data());
  std::vector<uint8_t> want(4 * row_bytes, kGuard);
  std::copy(expected.begin(), expected.end(), want.begin() + 2 * row_bytes);
  EXPECT_EQ(frame, want);
}

}  // namespace
}  // namespace veltrano::camera
