// The target pixel formats of the camera's converter and the size of one frame of
// each in the DirectShow layout. Pure functions, any thread.
//
// Layouts (the DirectShow conventions):
//  - YUY2: packed Y0 U Y1 V per pixel pair, rows of 2 x width bytes, top-down.
//  - NV12: the Y plane (rows of width bytes), then interleaved U V at half width and
//    half height (rows of width bytes), top-down.
//  - I420: the Y plane, then the U plane, then the V plane, both at half width and
//    half height (rows of width / 2 bytes), top-down.
//  - RGB24 / RGB32: B G R (X) per pixel, bottom-up as for a positive biHeight (the
//    picture's top row is the buffer's last row), rows padded to 4 bytes.
#pragma once

#include <cstdint>

namespace veltrano::imaging {

enum class PixelFormat { kYuy2, kNv12, kI420, kRgb24, kRgb32 };

//! Average bits per pixel, the biBitCount of the format: 16, 12, 12, 24, 32.
uint32_t BitsPerPixel(PixelFormat format) noexcept;

//! Bytes from one row of the first plane to the next: 2 x width for YUY2, width for
//! NV12 and I420 (the Y plane), 3 x width rounded up to a multiple of 4 for RGB24,
//! 4 x width for RGB32. 0 where FrameBytes gives 0 for this width and height 2.
uint32_t RowBytes(PixelFormat format, int32_t width) noexcept;

//! The biSizeImage of one width x height frame in the layout above. 0 for a size the
//! format cannot hold: width or height not positive, an odd width for YUY2, NV12 or
//! I420, an odd height for NV12 or I420, or more bytes than 32 bits count.
uint32_t FrameBytes(PixelFormat format, int32_t width, int32_t height) noexcept;

}  // namespace veltrano::imaging
