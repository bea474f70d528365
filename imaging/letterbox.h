// Where a picture lands in a frame of another shape: scaled to fit, aspect ratio
// kept, centred, the rest left for black bars. Pure function, any thread.
#pragma once

#include <cstdint>

namespace veltrano::imaging {

//! The part of a target frame that the picture covers, in target pixels.
struct ContentRect {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};

//! Fits a source_width x source_height picture into an even-sized target. The side
//! that limits the fit fills the target; the other is the exact ratio rounded to the
//! nearest even count (at least 2), and the picture is centred on an even offset, so
//! that a pixel pair or a 2 x 2 chroma block never straddles a bar. A 16:9 picture in
//! 640 x 480 gives {0, 60, 640, 360}; a 4:3 picture in 1280 x 720 gives
//! {160, 0, 960, 720}. Sizes must be positive (the target's even); otherwise the
//! result is all zero.
ContentRect FitContent(int32_t source_width, int32_t source_height, int32_t target_width,
                       int32_t target_height) noexcept;

}  // namespace veltrano::imaging
