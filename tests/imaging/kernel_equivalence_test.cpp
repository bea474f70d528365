// The SSE2 kernels against the plain reference over random pictures: every format,
// same size, enlarged and reduced, every offered mode and the odd cases (the smallest
// sizes, widths whose RGB24 rows need padding or leave vector tails, odd heights,
// padded strides, a 12-fold reduction). Results must be byte for byte equal, every
// byte of the target written, and the source's row padding never read.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "imaging/frame_converter.h"
#include "imaging/row_kernels.h"

namespace veltrano::imaging {
namespace {

struct Size {
  int32_t width, height;
};

struct Case {
  int32_t width, height, stride;
  Size targets[6];
};

constexpr Size kModes[] = {{1920, 1080}, {1280, 720}, {960, 540}, {640, 480}, {640, 360}, {320, 240}};

const Case kCases[] = {
    {1280, 720, 2560, {{1920, 1080}, {1280, 720}, {960, 540}, {640, 480}, {640, 360}, {320, 240}}},
    {1920, 1080, 3840, {{1920, 1080}, {1280, 720}, {640, 480}, {10, 2}}},
    {640, 480, 1300, {{1920, 1080}, {640, 480}, {320, 240}, {6, 4}}},
    {2, 2, 4, {{2, 2}, {1920, 1080}, {6, 4}}},
    {2, 1, 8, {{2, 2}, {322, 200}, {640, 360}}},
    {6, 5, 20, {{6, 4}, {10, 2}, {322, 200}, {320, 240}}},
    {10, 2, 20, {{10, 2}, {2, 2}, {1280, 720}}},
    {322, 181, 700, {{322, 180}, {1280, 720}, {640, 480}, {2, 2}}},
    {322, 10, 650, {{322, 10}, {1920, 1080}, {6, 4}}},
    {1282, 720, 2570, {{1280, 720}, {640, 480}}},
    {3840, 2160, 7680, {{320, 240}, {1920, 1080}}},
    {100, 3000, 202, {{320, 240}, {640, 480}}},
    {3000, 2, 6000, {{640, 360}}},
    // Enlargements by exactly 3/2 (a kernel of their own) with row lengths that end in
    // part of a group of 16 pairs, and their odd neighbours (the general filter).
    {8, 4, 16, {{12, 6}, {14, 6}}},
    {12, 8, 26, {{18, 12}, {16, 12}}},
    {36, 24, 72, {{54, 36}, {56, 36}}},
    {100, 4, 204, {{150, 6}}},
    {640, 360, 1280, {{960, 540}, {962, 542}}},
    {1278, 720, 2556, {{1920, 1080}}},
    {1284, 722, 2568, {{1920, 1080}, {1926, 1084}}},
};

std::vector<uint8_t> Random(size_t bytes, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> data(bytes);
  for (uint8_t& byte : data) byte = static_cast<uint8_t>(generator());
  return data;
}

std::vector<uint8_t> Convert(const Case& c, const std::vector<uint8_t>& source, PixelFormat format, Size target,
                             Kernel kernel, uint8_t poison) {
  FrameConverter converter;
  EXPECT_TRUE(converter.Configure(c.width, c.height, format, target.width, target.height, kernel));
  std::vector<uint8_t> out(FrameBytes(format, target.width, target.height), poison);
  EXPECT_TRUE(converter.Convert(source.data(), c.stride, out.data()));
  return out;
}

TEST(KernelEquivalence, Sse2EqualsPlainOverRandomPictures) {
  if (!Sse2Compiled()) GTEST_SKIP() << "this build has no SSE2 kernels";
  uint32_t seed = 1;
  for (const Case& c : kCases) {
    // Exactly the bytes the picture spans: the last row has no padding to read into.
    const size_t bytes = static_cast<size_t>(c.stride) * (c.height - 1) + 2 * static_cast<size_t>(c.width);
    std::vector<uint8_t> source = Random(bytes, seed++);
    // The same picture with other padding bytes between the rows.
    std::vector<uint8_t> repadded = Random(bytes, seed++);
    for (int32_t row = 0; row < c.height; ++row) {
      std::copy_n(source.begin() + static_cast<ptrdiff_t>(row) * c.stride, 2 * c.width,
                  repadded.begin() + static_cast<ptrdiff_t>(row) * c.stride);
    }
    for (const Size& target : c.targets) {
      if (target.width == 0) break;
      for (int f = 0; f < 5; ++f) {
        const PixelFormat format = static_cast<PixelFormat>(f);
        const std::vector<uint8_t> plain = Convert(c, source, format, target, Kernel::kPlain, 0xA5);
        const std::vector<uint8_t> sse2 = Convert(c, repadded, format, target, Kernel::kSse2, 0x5A);
        size_t first = 0;
        while (first < plain.size() && plain[first] == sse2[first]) ++first;
        EXPECT_EQ(plain.size(), first) << c.width << "x" << c.height << " (stride " << c.stride << ") -> format " << f
                                       << " " << target.width << "x" << target.height << ": first difference at byte "
                                       << first;
      }
    }
  }
}

// The paired vertical filter against two runs of the single one (plain), and SSE2
// against plain, for every weight it takes and widths with and without a vector tail.
TEST(KernelEquivalence, MirroredRowsEqualTwoSingleRows) {
  const std::vector<uint8_t> a = Random(1939, 7), b = Random(1939, 8);
  const uint8_t* rows[2] = {a.data(), b.data()};
  const RowKernels& plain = PlainRowKernels();
  const RowKernels* sse2 = Sse2RowKernels();
  for (int32_t width : {1, 15, 16, 17, 47, 1939}) {
    for (int32_t weight = 0; weight < 128; ++weight) {
      const int16_t near_a[2] = {static_cast<int16_t>(256 - weight), static_cast<int16_t>(weight)};
      const int16_t near_b[2] = {near_a[1], near_a[0]};
      std::vector<uint8_t> single_a(width), single_b(width), pair_a(width), pair_b(width);
      plain.filter_vertical(rows, near_a, 2, width, single_a.data());
      plain.filter_vertical(rows, near_b, 2, width, single_b.data());
      plain.filter_vertical_mirrored(a.data(), b.data(), weight, width, pair_a.data(), pair_b.data());
      EXPECT_EQ(single_a, pair_a) << "plain, width " << width << " weight " << weight;
      EXPECT_EQ(single_b, pair_b) << "plain, width " << width << " weight " << weight;
      if (!sse2) continue;
      // One byte past the rows stays untouched.
      std::vector<uint8_t> fast_a(width + 1, 0x5A), fast_b(width + 1, 0x5A);
      sse2->filter_vertical_mirrored(a.data(), b.data(), weight, width, fast_a.data(), fast_b.data());
      EXPECT_EQ(0x5A, fast_a[width]);
      EXPECT_EQ(0x5A, fast_b[width]);
      fast_a.pop_back();
      fast_b.pop_back();
      EXPECT_EQ(single_a, fast_a) << "SSE2, width " << width << " weight " << weight;
      EXPECT_EQ(single_b, fast_b) << "SSE2, width " << width << " weight " << weight;
    }
  }
}

// Every offered mode from the producer's usual size, with the plain kernel alone, so
// that a build without SSE2 still checks that each target byte is written.
TEST(KernelEquivalence, EveryByteWrittenWithThePlainKernel) {
  const Case c = kCases[0];
  const std::vector<uint8_t> source = Random(static_cast<size_t>(c.stride) * c.height, 99);
  for (const Size& mode : kModes) {
    for (int f = 0; f < 5; ++f) {
      const PixelFormat format = static_cast<PixelFormat>(f);
      EXPECT_EQ(Convert(c, source, format, mode, Kernel::kPlain, 0x00),
                Convert(c, source, format, mode, Kernel::kPlain, 0xFF))
          << "format " << f << " " << mode.width << "x" << mode.height;
    }
  }
}

}  // namespace
}  // namespace veltrano::imaging
