// FrameConverter: refused sizes, known colours per format, plane layout, orientation
// and letterbox bars. Every conversion here runs with both kernels.
#include "imaging/frame_converter.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "common/allocation_failure_scope.h"
#include "imaging/scaling_filter.h"

namespace veltrano::imaging {
namespace {

using Sample = std::array<int, 4>;  // Y U V 0, or B G R X

constexpr PixelFormat kFormats[] = {PixelFormat::kYuy2, PixelFormat::kNv12, PixelFormat::kI420, PixelFormat::kRgb24,
                                    PixelFormat::kRgb32};
constexpr Kernel kKernels[] = {Kernel::kPlain, Kernel::kSse2};

bool IsRgb(PixelFormat format) { return format == PixelFormat::kRgb24 || format == PixelFormat::kRgb32; }

// A YUY2 picture of one colour, rows `stride` bytes apart (padding 0xEE).
std::vector<uint8_t> Uniform(int32_t width, int32_t height, int32_t stride, int y, int u, int v) {
  std::vector<uint8_t> frame(static_cast<size_t>(stride) * height, 0xEE);
  for (int32_t row = 0; row < height; ++row) {
    for (int32_t pair = 0; pair < width / 2; ++pair) {
      uint8_t* p = &frame[static_cast<size_t>(row) * stride + 4 * pair];
      p[0] = p[2] = static_cast<uint8_t>(y);
      p[1] = static_cast<uint8_t>(u);
      p[3] = static_cast<uint8_t>(v);
    }
  }
  return frame;
}

// Converts into a target filled with `poison` first.
std::vector<uint8_t> ConvertOnce(const std::vector<uint8_t>& source, int32_t sw, int32_t sh, int32_t stride, PixelFormat format,
                         int32_t tw, int32_t th, Kernel kernel, uint8_t poison = 0xA5) {
  FrameConverter converter;
  EXPECT_TRUE(converter.Configure(sw, sh, format, tw, th, kernel));
  std::vector<uint8_t> target(FrameBytes(format, tw, th), poison);
  EXPECT_TRUE(converter.Convert(source.data(), stride, target.data()));
  return target;
}

// The pixel at (x, y), y counted from the picture's top.
Sample At(const std::vector<uint8_t>& t, PixelFormat format, int32_t w, int32_t h, int32_t x, int32_t y) {
  const size_t luma = static_cast<size_t>(w) * h;
  switch (format) {
    case PixelFormat::kYuy2: {
      const uint8_t* pair = &t[static_cast<size_t>(y) * 2 * w + 4 * (x / 2)];
      return {pair[2 * (x % 2)], pair[1], pair[3], 0};
    }
    case PixelFormat::kNv12: {
      const uint8_t* uv = &t[luma + static_cast<size_t>(y / 2) * w + 2 * (x / 2)];
      return {t[static_cast<size_t>(y) * w + x], uv[0], uv[1], 0};
    }
    case PixelFormat::kI420: {
      const size_t chroma = static_cast<size_t>(y / 2) * (w / 2) + x / 2;
      return {t[static_cast<size_t>(y) * w + x], t[luma + chroma], t[luma + luma / 4 + chroma], 0};
    }
    case PixelFormat::kRgb24: {
      const uint8_t* p = &t[static_cast<size_t>(h - 1 - y) * RowBytes(format, w) + 3 * x];  // bottom-up
      return {p[0], p[1], p[2], 0};
    }
    case PixelFormat::kRgb32: {
      const uint8_t* p = &t[static_cast<size_t>(h - 1 - y) * 4 * w + 4 * x];
      return {p[0], p[1], p[2], p[3]};
    }
  }
  return {};
}

struct Colour {
  const char* name;
  int y, u, v;
  int b, g, r;  // what the inverse BT.601 rule gives, worked out by hand
};
constexpr Colour kColours[] = {
    {"white", 235, 128, 128, 255, 255, 255}, {"black", 16, 128, 128, 0, 0, 0},
    {"green", 144, 54, 34, 0, 254, 0},       {"red", 82, 90, 240, 0, 1, 255},
    {"blue", 41, 240, 110, 255, 0, 0},
};

Sample Expected(PixelFormat format, const Colour& c) {
  if (!IsRgb(format)) return {c.y, c.u, c.v, 0};
  return {c.b, c.g, c.r, format == PixelFormat::kRgb32 ? 0xFF : 0};
}

TEST(FrameConverterConfigure, RefusesWhatNoFormatCanHold) {
  struct Case {
    int32_t sw, sh;
    PixelFormat format;
    int32_t tw, th;
  };
  const Case cases[] = {
      {0, 720, PixelFormat::kYuy2, 1280, 720},    {1281, 720, PixelFormat::kYuy2, 1280, 720},
      {1280, 0, PixelFormat::kNv12, 1280, 720},   {1280, 720, PixelFormat::kNv12, 1279, 720},
      {1280, 720, PixelFormat::kRgb24, 640, 481}, {1280, 720, PixelFormat::kRgb32, 0, 480},
      {16386, 2, PixelFormat::kYuy2, 640, 480},   {1280, 720, PixelFormat::kRgb32, 16386, 2},
      {2, 16385, PixelFormat::kYuy2, 640, 480},   {-2, 2, PixelFormat::kI420, 2, 2},
  };
  for (const Case& c : cases) {
    FrameConverter converter;
    ASSERT_TRUE(converter.Configure(2, 2, PixelFormat::kYuy2, 2, 2));
    EXPECT_FALSE(converter.Configure(c.sw, c.sh, c.format, c.tw, c.th)) << c.sw << "x" << c.sh << " -> " << c.tw << "x" << c.th;
    EXPECT_FALSE(converter.configured());
    EXPECT_FALSE(converter.IsConfiguredFor(2, 2, PixelFormat::kYuy2, 2, 2));  // the old one is gone
    uint8_t target[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t source[8] = {};
    EXPECT_FALSE(converter.Convert(source, 4, target));
    EXPECT_EQ(1, target[0]);
  }
}

TEST(FrameConverterConfigure, RemembersWhatItIsConfiguredFor) {
  FrameConverter converter;
  EXPECT_FALSE(converter.IsConfiguredFor(1280, 720, PixelFormat::kNv12, 640, 480));
  ASSERT_TRUE(converter.Configure(1280, 720, PixelFormat::kNv12, 640, 480, Kernel::kSse2));
  EXPECT_TRUE(converter.IsConfiguredFor(1280, 720, PixelFormat::kNv12, 640, 480));
  EXPECT_FALSE(converter.IsConfiguredFor(1280, 720, PixelFormat::kI420, 640, 480));
  EXPECT_FALSE(converter.IsConfiguredFor(1282, 720, PixelFormat::kNv12, 640, 480));
  EXPECT_EQ(Sse2Compiled() ? Kernel::kSse2 : Kernel::kPlain, converter.kernel());
  EXPECT_EQ(60, converter.content().y);
  FrameConverter moved = std::move(converter);
  EXPECT_TRUE(moved.IsConfiguredFor(1280, 720, PixelFormat::kNv12, 640, 480));
}

// Each allocation of a configuration refused in turn: false and unconfigured every
// time (the previous configuration gone too), nothing thrown, until all succeed.
TEST(FrameConverterConfigure, OutOfMemoryLeavesItUnconfigured) {
  ASSERT_TRUE(test::AllocationFailureHookIsLive());
  bool configured = false;
  int allowed = 0;
  for (; !configured && allowed < 100; ++allowed) {
    FrameConverter converter;
    ASSERT_TRUE(converter.Configure(2, 2, PixelFormat::kYuy2, 2, 2));
    {
      test::AllocationFailureScope fail(allowed);
      configured = converter.Configure(1280, 720, PixelFormat::kRgb24, 1920, 1080);
    }
    EXPECT_EQ(configured, converter.configured());
    EXPECT_FALSE(converter.IsConfiguredFor(2, 2, PixelFormat::kYuy2, 2, 2));
  }
  EXPECT_TRUE(configured);
  EXPECT_GT(allowed, 5);  // several allocations were refused on the way
}

TEST(FrameConverterConvert, RefusesBadArgumentsWritingNothing) {
  FrameConverter converter;
  ASSERT_TRUE(converter.Configure(4, 2, PixelFormat::kRgb24, 4, 2));
  const std::vector<uint8_t> source = Uniform(4, 2, 8, 235, 128, 128);
  std::vector<uint8_t> target(FrameBytes(PixelFormat::kRgb24, 4, 2), 0x11);
  EXPECT_FALSE(converter.Convert(source.data(), 7, target.data()));  // stride below 2 x width
  EXPECT_FALSE(converter.Convert(nullptr, 8, target.data()));
  EXPECT_FALSE(converter.Convert(source.data(), 8, nullptr));
  EXPECT_EQ(std::vector<uint8_t>(target.size(), 0x11), target);
  EXPECT_TRUE(converter.Convert(source.data(), 8, target.data()));
}

// The smallest picture, 2 x 2, in every format: each colour exactly, RGB24's rows of
// 6 bytes padded with zeros to 8, RGB32's fourth byte 0xFF.
TEST(FrameConverterConvert, KnownColoursInEveryFormat) {
  for (const Colour& colour : kColours) {
    const std::vector<uint8_t> source = Uniform(2, 2, 4, colour.y, colour.u, colour.v);
    for (PixelFormat format : kFormats) {
      for (Kernel kernel : kKernels) {
        const std::vector<uint8_t> target = ConvertOnce(source, 2, 2, 4, format, 2, 2, kernel);
        for (int32_t y = 0; y < 2; ++y) {
          for (int32_t x = 0; x < 2; ++x) {
            EXPECT_EQ(Expected(format, colour), At(target, format, 2, 2, x, y))
                << colour.name << " format " << static_cast<int>(format) << " at " << x << "," << y;
          }
        }
        if (format == PixelFormat::kRgb24) {
          EXPECT_EQ(0, target[6] | target[7] | target[14] | target[15]) << colour.name;
        }
      }
    }
  }
}

// A 4 x 4 picture whose every sample differs: pairs keep their own chroma, NV12 and
// I420 average each pair of rows rounding halves up, and the planes sit where the
// layouts put them.
TEST(FrameConverterConvert, SameSizeLayoutsAndChromaAveraging) {
  std::vector<uint8_t> source(4 * 12, 0xEE);  // stride 12: 4 bytes of padding per row
  for (int row = 0; row < 4; ++row) {
    for (int pair = 0; pair < 2; ++pair) {
      uint8_t* p = &source[12 * row + 4 * pair];
      p[0] = static_cast<uint8_t>(20 + 10 * row + 2 * pair);
      p[2] = static_cast<uint8_t>(21 + 10 * row + 2 * pair);
      p[1] = static_cast<uint8_t>(row % 2 ? 21 + pair : 10 + pair);  // U rows 10 / 21 -> 16
      p[3] = static_cast<uint8_t>(200 + row + 10 * pair);            // V 200 / 201 -> 201
    }
  }
  for (Kernel kernel : kKernels) {
    const std::vector<uint8_t> nv12 = ConvertOnce(source, 4, 4, 12, PixelFormat::kNv12, 4, 4, kernel);
    const std::vector<uint8_t> expected_nv12 = {20, 21, 22, 23, 30, 31, 32, 33, 40, 41, 42, 43, 50, 51, 52, 53,
                                                16, 201, 17, 211, 16, 203, 17, 213};
    EXPECT_EQ(expected_nv12, nv12);
    const std::vector<uint8_t> i420 = ConvertOnce(source, 4, 4, 12, PixelFormat::kI420, 4, 4, kernel);
    const std::vector<uint8_t> expected_i420 = {20, 21, 22, 23, 30, 31, 32, 33, 40,  41,  42,  43,
                                                50, 51, 52, 53, 16, 17, 16, 17, 201, 211, 203, 213};
    EXPECT_EQ(expected_i420, i420);
    const std::vector<uint8_t> yuy2 = ConvertOnce(source, 4, 4, 12, PixelFormat::kYuy2, 4, 4, kernel);
    for (int row = 0; row < 4; ++row) {
      EXPECT_EQ(0, std::memcmp(&source[12 * row], &yuy2[8 * row], 8)) << row;  // padding dropped
    }
  }
}

// RGB is bottom-up: the picture's top row is the buffer's last; YUV is top-down.
TEST(FrameConverterConvert, Orientation) {
  std::vector<uint8_t> source = Uniform(4, 4, 8, 16, 128, 128);
  for (int pair = 0; pair < 2; ++pair) source[4 * pair] = source[4 * pair + 2] = 235;  // a white top row
  for (Kernel kernel : kKernels) {
    const std::vector<uint8_t> rgb24 = ConvertOnce(source, 4, 4, 8, PixelFormat::kRgb24, 4, 4, kernel);
    EXPECT_EQ(255, rgb24[3 * 12]);  // last buffer row white
    EXPECT_EQ(0, rgb24[0]);
    const std::vector<uint8_t> rgb32 = ConvertOnce(source, 4, 4, 8, PixelFormat::kRgb32, 4, 4, kernel);
    EXPECT_EQ(255, rgb32[3 * 16]);
    EXPECT_EQ(0, rgb32[0]);
    const std::vector<uint8_t> nv12 = ConvertOnce(source, 4, 4, 8, PixelFormat::kNv12, 4, 4, kernel);
    EXPECT_EQ(235, nv12[0]);
    EXPECT_EQ(16, nv12[12]);
  }
}

// An enlarged picture is filtered across, then down, each pass rounded; worked out
// here sample by sample from the filter tables, so that a fault in the order in which
// the scaler makes its rows (two rows between the same source rows at once) cannot
// hide behind the two kernels agreeing.
TEST(FrameConverterConvert, EnlargedPictureFollowsTheFilterTables) {
  struct Size {
    int32_t sw, sh, tw, th;
  };
  const Size sizes[] = {{12, 8, 18, 12}, {6, 4, 12, 8}, {8, 4, 20, 10}};
  auto filter = [](const ScalingFilter& f, int32_t i, auto sample) {
    int sum = 128;
    for (int32_t k = 0; k < f.taps; ++k) sum += f.weights[static_cast<size_t>(i) * f.taps + k] * sample(f.start[i] + k);
    return sum >> 8;
  };
  for (const Size& s : sizes) {
    std::mt19937 generator(static_cast<uint32_t>(s.tw));
    std::vector<uint8_t> source(2 * static_cast<size_t>(s.sw) * s.sh);
    for (uint8_t& byte : source) byte = static_cast<uint8_t>(generator());
    const ScalingFilter luma = BuildScalingFilter(s.sw, s.tw, FilterAxis::kHorizontal);
    const ScalingFilter chroma = BuildScalingFilter(s.sw / 2, s.tw / 2, FilterAxis::kHorizontal);
    const ScalingFilter down = BuildScalingFilter(s.sh, s.th, FilterAxis::kVertical);
    auto expected = [&](int32_t x, int32_t y) {
      Sample result{};
      for (int c = 0; c < 3; ++c) {  // Y, U, V
        result[c] = filter(down, y, [&](int32_t row) {
          const uint8_t* p = &source[static_cast<size_t>(row) * 2 * s.sw];
          if (c == 0) return filter(luma, x, [p](int32_t column) { return int{p[2 * column]}; });
          return filter(chroma, x / 2, [p, c](int32_t pair) { return int{p[4 * pair + 2 * c - 1]}; });
        });
      }
      return result;
    };
    for (Kernel kernel : kKernels) {
      const std::vector<uint8_t> target =
          ConvertOnce(source, s.sw, s.sh, 2 * s.sw, PixelFormat::kYuy2, s.tw, s.th, kernel);
      int wrong = 0;
      for (int32_t y = 0; y < s.th; ++y) {
        for (int32_t x = 0; x < s.tw; ++x) {
          if (At(target, PixelFormat::kYuy2, s.tw, s.th, x, y) != expected(x, y) && ++wrong <= 3) {
            ADD_FAILURE() << s.sw << "x" << s.sh << " -> " << s.tw << "x" << s.th << " kernel "
                          << static_cast<int>(kernel) << " at " << x << "," << y;
          }
        }
      }
    }
  }
}

// A uniform picture keeps its colour exactly through any scaling (the weights add up
// to 256), so the content and the bars can be told apart pixel by pixel.
void ExpectLetterbox(int32_t sw, int32_t sh, int32_t tw, int32_t th, ContentRect content) {
  const Colour& green = kColours[2];
  const std::vector<uint8_t> source = Uniform(sw, sh, 2 * sw, green.y, green.u, green.v);
  for (PixelFormat format : kFormats) {
    for (Kernel kernel : kKernels) {
      FrameConverter converter;
      ASSERT_TRUE(converter.Configure(sw, sh, format, tw, th, kernel));
      EXPECT_EQ(content.x, converter.content().x);
      EXPECT_EQ(content.y, converter.content().y);
      std::vector<uint8_t> target(FrameBytes(format, tw, th), 0xA5);
      ASSERT_TRUE(converter.Convert(source.data(), 2 * sw, target.data()));
      const Sample black = IsRgb(format) ? Sample{0, 0, 0, format == PixelFormat::kRgb32 ? 0xFF : 0}
                                         : Sample{16, 128, 128, 0};
      int wrong = 0;
      for (int32_t y = 0; y < th; ++y) {
        for (int32_t x = 0; x < tw; ++x) {
          const bool inside = x >= content.x && x < content.x + content.width && y >= content.y &&
                              y < content.y + content.height;
          const Sample expected = inside ? Expected(format, green) : black;
          if (At(target, format, tw, th, x, y) != expected && ++wrong <= 3) {
            ADD_FAILURE() << "format " << static_cast<int>(format) << " kernel " << static_cast<int>(kernel) << " at "
                          << x << "," << y << (inside ? " (content)" : " (bar)");
          }
        }
      }
    }
  }
}

TEST(FrameConverterConvert, SixteenByNineIn640x480HasBarsAboveAndBelow) {
  ExpectLetterbox(1280, 720, 640, 480, {0, 60, 640, 360});
}

TEST(FrameConverterConvert, FourByThreeIn1280x720HasBarsLeftAndRight) {
  ExpectLetterbox(640, 480, 1280, 720, {160, 0, 960, 720});
}

TEST(FrameConverterConvert, SmallerPictureOfTheSameShapeIsEnlarged) {
  ExpectLetterbox(322, 181, 1280, 720, {0, 0, 1280, 720});  // 181 rows: 1280 x 719.5 -> 720
}

}  // namespace
}  // namespace veltrano::imaging
