// Frame sizes of the target pixel formats.
#include "imaging/pixel_format.h"

namespace veltrano::imaging {
namespace {

// Row bytes in 64 bits, or 0 for a width the format cannot hold.
uint64_t WideRowBytes(PixelFormat format, int32_t width) noexcept {
  if (width <= 0) return 0;
  const uint64_t w = static_cast<uint32_t>(width);
  switch (format) {
    case PixelFormat::kYuy2: return w % 2 ? 0 : 2 * w;
    case PixelFormat::kNv12:
    case PixelFormat::kI420: return w % 2 ? 0 : w;
    case PixelFormat::kRgb24: return (3 * w + 3) / 4 * 4;
    case PixelFormat::kRgb32: return 4 * w;
  }
  return 0;
}

}  // namespace

uint32_t BitsPerPixel(PixelFormat format) noexcept {
  switch (format) {
    case PixelFormat::kYuy2: return 16;
    case PixelFormat::kNv12:
    case PixelFormat::kI420: return 12;
    case PixelFormat::kRgb24: return 24;
    case PixelFormat::kRgb32: return 32;
  }
  return 0;
}

uint32_t RowBytes(PixelFormat format, int32_t width) noexcept {
  return FrameBytes(format, width, 2) == 0 ? 0 : static_cast<uint32_t>(WideRowBytes(format, width));
}

uint32_t FrameBytes(PixelFormat format, int32_t width, int32_t height) noexcept {
  const uint64_t row = WideRowBytes(format, width);
  if (row == 0 || height <= 0) return 0;
  const uint64_t h = static_cast<uint32_t>(height);
  uint64_t bytes = row * h;
  if (format == PixelFormat::kNv12 || format == PixelFormat::kI420) {
    if (h % 2) return 0;
    bytes += bytes / 2;  // two chroma planes of a quarter each
  }
  return bytes > UINT32_MAX ? 0 : static_cast<uint32_t>(bytes);
}

}  // namespace veltrano::imaging
