// Cost of the camera's pixel conversions: one YUY2 picture from the producer turned
// into each format at the same size, enlarged to 1920 x 1080 and reduced to 640 x 480
// (letterboxed), each with the plain and the SSE2 kernels, as time per frame and as a
// multiple of a memcpy of the same output bytes. Each round times the copy and then
// the conversion; the multiple is the median of the rounds' ratios, which a machine
// whose speed drifts with other load leaves steadier than a ratio of medians. On a
// loaded machine a conversion of a millisecond or two is preempted far more often
// than a copy of tens of microseconds, so the table also gives the tenth percentile
// of the ratios, which such interruptions do not reach (Wine has no per-thread cycle
// count to measure around them). Prints a table; never fails on timing.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_timing.h"
#include "imaging/frame_converter.h"

namespace {

using veltrano::bench::Median;
using veltrano::bench::TimeOnce;
using veltrano::imaging::FrameBytes;
using veltrano::imaging::FrameConverter;
using veltrano::imaging::Kernel;
using veltrano::imaging::PixelFormat;

constexpr int kSse2Rounds = 301;
constexpr int kPlainRounds = 21;  // the reference is slow; its medians settle quickly

struct Case {
  int32_t source_width, source_height;
  PixelFormat format;
  int32_t width, height;
  bool informational;  // not one of the paths the targets speak of
};

const char* FormatName(PixelFormat format) {
  switch (format) {
    case PixelFormat::kYuy2: return "YUY2";
    case PixelFormat::kNv12: return "NV12";
    case PixelFormat::kI420: return "I420";
    case PixelFormat::kRgb24: return "RGB24";
    case PixelFormat::kRgb32: return "RGB32";
  }
  return "?";
}

double TenthPercentile(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 10];
}

struct Result {
  double convert;  // seconds per frame, median
  double copy;     // memcpy of the output bytes, median
  double ratio;    // median of convert / copy per round
  double fast;     // its tenth percentile
};

// Converts and copies in alternation, so that clock and cache conditions drift alike
// for both; the target and the copy's buffers are reused like a sample's buffer.
Result Measure(const Case& c, Kernel kernel, const std::vector<uint8_t>& source, const LARGE_INTEGER& frequency) {
  FrameConverter converter;
  if (!converter.Configure(c.source_width, c.source_height, c.format, c.width, c.height, kernel)) return {0, 0, 0, 0};
  const uint32_t bytes = FrameBytes(c.format, c.width, c.height);
  std::vector<uint8_t> target(bytes, 0), copy_from(bytes, 1), copy_to(bytes, 0);
  const int rounds = kernel == Kernel::kPlain ? kPlainRounds : kSse2Rounds;
  std::vector<double> converts, copies, ratios;
  converter.Convert(source.data(), 2 * c.source_width, target.data());  // warm-up
  std::memcpy(copy_to.data(), copy_from.data(), bytes);
  volatile uint8_t sink = 0;
  for (int round = 0; round < rounds; ++round) {
    copies.push_back(TimeOnce(frequency, [&] { std::memcpy(copy_to.data(), copy_from.data(), bytes); }));
    sink = sink + copy_to[round % bytes];
    converts.push_back(
        TimeOnce(frequency, [&] { converter.Convert(source.data(), 2 * c.source_width, target.data()); }));
    sink = sink + target[round % bytes];
    ratios.push_back(converts.back() / copies.back());
  }
  return {Median(converts), Median(copies), Median(ratios), TenthPercentile(ratios)};
}

}  // namespace

int main() {
  const Case cases[] = {
      {1280, 720, PixelFormat::kYuy2, 1280, 720, false},   {1280, 720, PixelFormat::kNv12, 1280, 720, false},
      {1280, 720, PixelFormat::kI420, 1280, 720, false},   {1280, 720, PixelFormat::kRgb24, 1280, 720, false},
      {1280, 720, PixelFormat::kRgb32, 1280, 720, false},  {1280, 720, PixelFormat::kYuy2, 1920, 1080, false},
      {1280, 720, PixelFormat::kNv12, 1920, 1080, false},  {1280, 720, PixelFormat::kI420, 1920, 1080, false},
      {1280, 720, PixelFormat::kRgb24, 1920, 1080, false}, {1280, 720, PixelFormat::kRgb32, 1920, 1080, false},
      {1280, 720, PixelFormat::kYuy2, 640, 480, false},    {1280, 720, PixelFormat::kNv12, 640, 480, false},
      {1280, 720, PixelFormat::kI420, 640, 480, false},    {1280, 720, PixelFormat::kRgb24, 640, 480, false},
      {1280, 720, PixelFormat::kRgb32, 640, 480, false},   {1920, 1080, PixelFormat::kNv12, 1920, 1080, false},
      {1280, 720, PixelFormat::kNv12, 960, 540, true},     {1280, 720, PixelFormat::kNv12, 640, 360, true},
      {1280, 720, PixelFormat::kNv12, 320, 240, true},     {1920, 1080, PixelFormat::kNv12, 1280, 720, true},
      {3840, 2160, PixelFormat::kNv12, 320, 240, true},
  };

  // A picture with some structure (a ramp and a fine pattern); the kernels take no
  // branch on pixel values, so any content costs the same.
  std::vector<uint8_t> source(3840 * 2160 * 2);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 131u + (i >> 11));
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);

  std::printf("Pixel conversion from YUY2, medians of %d rounds (plain kernel: %d)%s\n", kSse2Rounds, kPlainRounds,
              veltrano::imaging::Sse2Compiled() ? "" : "; this build has no SSE2, both rows run the plain kernel");
  std::printf("%-10s %-17s %-6s %10s %10s %10s %10s\n", "source", "target", "kernel", "us/frame", "memcpy us",
              "vs memcpy", "10th pct");
  // Verdicts on the medians and on the tenth percentiles: [0] and [1].
  bool same_size_met[2] = {true, true}, scaled_met[2] = {true, true};
  double nv12_1080[2] = {0, 0};
  for (const Case& c : cases) {
    for (Kernel kernel : {Kernel::kPlain, Kernel::kSse2}) {
      if (c.informational && kernel == Kernel::kPlain) continue;
      const Result r = Measure(c, kernel, source, frequency);
      char source_name[32], target_name[32];
      std::snprintf(source_name, sizeof source_name, "%dx%d", c.source_width, c.source_height);
      std::snprintf(target_name, sizeof target_name, "%s %dx%d", FormatName(c.format), c.width, c.height);
      std::printf("%-10s %-17s %-6s %10.1f %10.1f %10.2f %10.2f%s\n", source_name, target_name,
                  kernel == Kernel::kPlain ? "plain" : "SSE2", r.convert * 1e6, r.copy * 1e6, r.ratio, r.fast,
                  c.informational ? "  (other mode)" : "");
      if (kernel != Kernel::kSse2 || c.informational) continue;
      const bool same_size = c.source_width == c.width && c.source_height == c.height;
      const bool planar = c.format == PixelFormat::kNv12 || c.format == PixelFormat::kI420;
      const double ratios[2] = {r.ratio, r.fast};
      for (int i = 0; i < 2; ++i) {
        if (same_size && planar && ratios[i] > 2.0) same_size_met[i] = false;
        if (!same_size && ratios[i] > 8.0) scaled_met[i] = false;
      }
      if (c.source_width == 1280 && c.format == PixelFormat::kNv12 && c.width == 1920) {
        nv12_1080[0] = r.convert;
        nv12_1080[1] = r.fast * r.copy;
      }
    }
  }
  const char* verdict[2] = {"NOT met", "met"};
  std::printf("targets (SSE2), medians: same-size NV12 and I420 within 2x memcpy %s, every scaled path within 8x %s\n",
              verdict[same_size_met[0]], verdict[scaled_met[0]]);
  std::printf("targets (SSE2), 10th percentiles: same-size within 2x %s, scaled within 8x %s\n",
              verdict[same_size_met[1]], verdict[scaled_met[1]]);
  std::printf("1280x720 -> NV12 1920x1080 at 30 fps: %.1f %% of one core (median), %.1f %% (10th percentile)\n",
              nv12_1080[0] * 30 * 100, nv12_1080[1] * 30 * 100);
  return 0;
}
