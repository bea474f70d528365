// Cost of moving one 1280 x 720 YUY2 frame through the frame section: the producer's
// WriteFrame and the camera reader's CopyNewest, each against a plain memcpy of the
// same 1843200 bytes timed in the same rounds. A second baseline copies into six
// buffers in turn, the footprint of the slot ring, whose destination is rarely still
// in cache. Prints a table; never fails on timing.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "VeltranoVirtualCamera.h"
#include "bench_timing.h"
#include "channel/frame_section_reader.h"

namespace {

using veltrano::bench::Median;
using veltrano::bench::TimeOnce;

constexpr int32_t kWidth = 1280;
constexpr int32_t kHeight = 720;
constexpr uint32_t kFrameBytes = 1843200;
constexpr int kRounds = 200;

void PrintRow(const char* name, double seconds, double baseline, double ring_baseline) {
  std::printf("%-32s %10.1f %7.2f %11.2f %11.2f\n", name, seconds * 1e6, kFrameBytes / seconds / 1e9,
              baseline / seconds, ring_baseline / seconds);
}

}  // namespace

int main() {
  VeltranoVirtualCameraProducer* producer = VeltranoVirtualCamera_CreateProducer(kWidth, kHeight, 2 * kWidth, 1);
  if (!producer) {
    std::printf("channel_benchmark: could not create a producer (another one running?)\n");
    return 1;
  }
  std::vector<uint8_t> frame(kFrameBytes);
  for (uint32_t i = 0; i < kFrameBytes; ++i) frame[i] = static_cast<uint8_t>(i * 131u + (i >> 11));
  std::vector<uint8_t> destination(kFrameBytes, 0);
  std::vector<std::vector<uint8_t>> ring(6, std::vector<uint8_t>(kFrameBytes, 0));
  std::vector<uint8_t> sample(kFrameBytes, 0);
  veltrano::channel::FrameSectionReader reader;

  // Warm-up: every slot and every buffer touched, so page faults are not timed.
  for (int i = 0; i < 12; ++i) VeltranoVirtualCamera_WriteFrame(producer, frame.data(), kFrameBytes, i);
  reader.Refresh();
  std::memcpy(destination.data(), frame.data(), kFrameBytes);
  if (reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight) != kFrameBytes) {
    std::printf("channel_benchmark: the reader took no frame\n");
    VeltranoVirtualCamera_CloseProducer(producer);
    return 1;
  }

  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  std::vector<double> copy_times, ring_times, write_times, read_times;
  uint32_t failures = 0;
  volatile uint8_t sink = 0;
  // The three are interleaved round by round so that clock and cache conditions
  // drift alike for the baseline and for the measured operations.
  for (int round = 0; round < kRounds; ++round) {
    copy_times.push_back(TimeOnce(frequency, [&] { std::memcpy(destination.data(), frame.data(), kFrameBytes); }));
    sink = sink + destination[round];
    std::vector<uint8_t>& target = ring[round % ring.size()];
    ring_times.push_back(TimeOnce(frequency, [&] { std::memcpy(target.data(), frame.data(), kFrameBytes); }));
    sink = sink + target[round];
    write_times.push_back(TimeOnce(frequency, [&] {
      failures += VeltranoVirtualCamera_WriteFrame(producer, frame.data(), kFrameBytes, round) ? 0 : 1;
    }));
    read_times.push_back(TimeOnce(frequency, [&] {
      failures += reader.CopyNewest(sample.data(), kFrameBytes, kWidth, kHeight) == kFrameBytes ? 0 : 1;
    }));
    sink = sink + sample[round];
  }
  const bool same_bytes = sample == frame;
  reader.Release();
  VeltranoVirtualCamera_CloseProducer(producer);

  const double copy = Median(copy_times);
  const double ring_copy = Median(ring_times);
  const double write = Median(write_times);
  const double read = Median(read_times);
  std::printf("Frame channel, %d x %d YUY2 (%u bytes), median of %d rounds\n", kWidth, kHeight, kFrameBytes, kRounds);
  std::printf("%-32s %10s %7s %11s %11s\n", "operation", "median us", "GB/s", "vs memcpy", "vs ring cpy");
  PrintRow("memcpy, one buffer (baseline)", copy, copy, ring_copy);
  PrintRow("memcpy, six buffers in turn", ring_copy, copy, ring_copy);
  PrintRow("WriteFrame (producer)", write, copy, ring_copy);
  PrintRow("CopyNewest (camera reader)", read, copy, ring_copy);
  std::printf("target: each at least 0.90 of memcpy speed -> WriteFrame %s, CopyNewest %s\n",
              copy / write >= 0.9 ? "met" : "NOT met", copy / read >= 0.9 ? "met" : "NOT met");
  std::printf("WriteFrame against a copy of the same footprint (six buffers): %.2f\n", ring_copy / write);
  if (failures || !same_bytes) std::printf("warning: %u refused operations, last copy %s\n", failures,
                                           same_bytes ? "intact" : "differs");
  return 0;
}
