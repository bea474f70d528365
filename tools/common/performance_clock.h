// The clock that feed and probe share across processes: QueryPerformanceCounter in
// 100 ns units. It is one system-wide monotonic counter on Windows (and in Wine,
// where it follows the host's monotonic clock), so a send time taken in the feed and
// an arrival time taken in the probe can be subtracted. Any thread.
#pragma once

#include <cstdint>

namespace veltrano::tools {

uint64_t PerformanceTime100ns() noexcept;

}  // namespace veltrano::tools
