// Reading captured frames of every subtype the tools know, in the DirectShow layouts:
// YUY2 packed, NV12 (Y plane, then interleaved U V at half width and height), I420
// (Y, U, V planes), RGB24 and RGB32 (B G R [X], rows padded to 4 bytes, bottom-up
// unless the format says top-down). Written from the layouts alone, not from the
// camera's converter, so that a probe built on it shows the camera's mistakes.
// Pure functions, any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/common/colour_conversion.h"
#include "tools/common/image_file.h"
#include "tools/common/video_subtype.h"

namespace veltrano::tools {

struct FrameLayout {
  VideoSubtype subtype = VideoSubtype::kYuy2;
  int width = 0;
  int height = 0;          // rows of the picture, positive
  bool bottom_up = false;  // RGB under a positive biHeight: the top row is the buffer's last
};

//! Bytes of the first plane's rows: 2 x width (YUY2), width (NV12, I420), 3 x width
//! rounded up to 4 (RGB24), 4 x width (RGB32). 0 where FrameBytes is 0.
size_t RowBytes(const FrameLayout& layout) noexcept;

//! Bytes of one frame; 0 for a layout no frame can have: a size that is not positive,
//! an odd width for the YUV subtypes, an odd height for NV12 and I420.
size_t FrameBytes(const FrameLayout& layout) noexcept;

//! A borrowed frame with pixel access by picture position (row 0 at the top).
class FrameView {
 public:
  FrameView(const FrameLayout& layout, const uint8_t* data, size_t size) noexcept;

  //! Whether the data holds a whole frame of a usable layout; nothing else may be
  //! called otherwise.
  bool valid() const noexcept { return valid_; }
  const FrameLayout& layout() const noexcept { return layout_; }
  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }

  //! The pixel at column x, row y as studio-range Y, U, V (RGB pixels converted).
  Yuv PixelYuv(int x, int y) const noexcept;
  //! Only the luma of that pixel.
  uint8_t Luma(int x, int y) const noexcept;

 private:
  // Byte offset of row `y` of the picture in a plane of `row_bytes` rows.
  size_t RgbRowOffset(int y) const noexcept;

  FrameLayout layout_;
  const uint8_t* data_;
  size_t size_;
  size_t row_bytes_ = 0;
  bool valid_ = false;
};

//! The frame as a BGRA picture (alpha 255), top row first; 4:2:0 chroma applies to
//! its 2 x 2 pixels. An empty image (0 x 0) when the view is not valid.
BgraImage DecodeFrame(const FrameView& frame);

//! Where a picture of another shape lies in a frame: the largest rectangle of the
//! source's aspect ratio that fits, centred (black bars fill the rest).
struct PictureRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};
PictureRect FitRect(int source_width, int source_height, int width, int height) noexcept;

}  // namespace veltrano::tools
