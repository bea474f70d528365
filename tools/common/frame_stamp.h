// A machine-readable stamp burned into a YUY2 frame by veltrano-feed and read back by
// veltrano-probe in another process: frame counter and send time as a strip of black
// and white 16 x 16 blocks in the top-left corner. The camera copies frames byte for
// byte, so the probe reads the exact bits. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>

namespace veltrano::tools {

struct FrameStamp {
  uint32_t counter = 0;
  //! Send time in 100 ns units of the shared performance clock (PerformanceTime100ns).
  uint64_t send_time = 0;
};

inline constexpr int kStampBlockSize = 16;
inline constexpr int kStampColumns = 64;
inline constexpr int kStampRows = 2;
//! Width and height of the strip in pixels (1024 x 32).
inline constexpr int kStampWidth = kStampBlockSize * kStampColumns;
inline constexpr int kStampHeight = kStampBlockSize * kStampRows;

//! Writes the strip into a packed YUY2 frame (stride = 2 * width). Returns false and
//! writes nothing when the frame is smaller than the strip.
bool WriteFrameStamp(uint8_t* yuy2, int width, int height, const FrameStamp& stamp);

//! Reads the strip back. Empty when the frame is too small or carries no valid stamp
//! (wrong marker or check word), for example the placeholder picture.
std::optional<FrameStamp> ReadFrameStamp(const uint8_t* yuy2, int width, int height);

}  // namespace veltrano::tools
