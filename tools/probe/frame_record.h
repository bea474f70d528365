// One delivered frame as the probe saw it: written by the grabber callback on the
// streaming thread, read by the main thread after the graph stopped.
#pragma once

#include <cstdint>

namespace veltrano::tools {

struct FrameRecord {
  uint64_t arrival = 0;          // performance clock, 100 ns units
  int64_t sample_start = 0;      // IMediaSample start time, 100 ns units
  bool has_sample_time = false;
  bool stamped = false;          // carries a veltrano-feed stamp
  uint32_t counter = 0;          // feed frame counter, when stamped
  uint64_t send_time = 0;        // feed send time (performance clock), when stamped
};

}  // namespace veltrano::tools
