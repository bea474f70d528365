#include "tools/common/performance_clock.h"

#include <windows.h>

namespace veltrano::tools {

uint64_t PerformanceTime100ns() noexcept {
  static const uint64_t frequency = [] {
    LARGE_INTEGER value;
    ::QueryPerformanceFrequency(&value);
    return static_cast<uint64_t>(value.QuadPart);
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  // Split to keep ticks * 10^7 from overflowing 64 bits on long uptimes.
  return ticks / frequency * 10000000ull + ticks % frequency * 10000000ull / frequency;
}

}  // namespace veltrano::tools
