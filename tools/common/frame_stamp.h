// A machine-readable stamp burned into a YUY2 frame by veltrano-feed and read back by
// veltrano-probe in another process: frame counter and send time as a strip of black
// and white blocks in the top-left corner, 16 x 16 pixels on a 1280 x 720 picture and
// in proportion on other sizes. At 1280 x 720 YUY2 the camera copies frames byte for
// byte; in other modes it scales them, and the probe reads each block at its centre
// in whatever subtype arrived. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>

#include "tools/common/frame_decoder.h"

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

//! The picture the strip's layout is drawn for; other pictures get it in proportion.
inline constexpr int kStampDesignWidth = 1280;
inline constexpr int kStampDesignHeight = 720;

//! Writes the strip into a packed YUY2 frame (stride = 2 * width). Returns false and
//! writes nothing when the frame is smaller than the strip.
bool WriteFrameStamp(uint8_t* yuy2, int width, int height, const FrameStamp& stamp);

//! Writes the strip in proportion to `design`, the part of the frame that shows the
//! 1280 x 720 design (for example a letterboxed picture): block edges at
//! design.left + 16 * k * design.width / 1280 and likewise down. False, writing
//! nothing, when a block would be narrower or lower than 2 pixels or the strip does
//! not lie inside the frame.
bool WriteFrameStamp(uint8_t* yuy2, int width, int height, const PictureRect& design, const FrameStamp& stamp);

//! Reads the strip back. Empty when the frame is too small or carries no valid stamp
//! (wrong marker or check word), for example the placeholder picture.
std::optional<FrameStamp> ReadFrameStamp(const uint8_t* yuy2, int width, int height);

//! Reads the strip of a design shown in `design` of `picture`, any subtype, from the
//! luma at each block's centre. Empty under the same conditions as the writer's false,
//! and for frames without a valid stamp.
std::optional<FrameStamp> ReadFrameStamp(const FrameView& picture, const PictureRect& design);

}  // namespace veltrano::tools
