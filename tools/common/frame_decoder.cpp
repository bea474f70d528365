#include "tools/common/frame_decoder.h"

#include <new>

namespace veltrano::tools {

size_t RowBytes(const FrameLayout& layout) noexcept {
  if (FrameBytes(layout) == 0) return 0;
  const size_t width = static_cast<size_t>(layout.width);
  switch (layout.subtype) {
    case VideoSubtype::kYuy2:
      return 2 * width;
    case VideoSubtype::kNv12:
    case VideoSubtype::kI420:
      return width;
    case VideoSubtype::kRgb24:
      return (3 * width + 3) / 4 * 4;
    case VideoSubtype::kRgb32:
      return 4 * width;
  }
  return 0;
}

size_t FrameBytes(const FrameLayout& layout) noexcept {
  // Beyond 16384 no capture format goes; the limit also keeps every product in range.
  if (layout.width <= 0 || layout.height <= 0 || layout.width > 16384 || layout.height > 16384) return 0;
  const size_t width = static_cast<size_t>(layout.width);
  const size_t height = static_cast<size_t>(layout.height);
  switch (layout.subtype) {
    case VideoSubtype::kYuy2:
      return width % 2 ? 0 : 2 * width * height;
    case VideoSubtype::kNv12:
    case VideoSubtype::kI420:
      return width % 2 || height % 2 ? 0 : width * height * 3 / 2;
    case VideoSubtype::kRgb24:
      return (3 * width + 3) / 4 * 4 * height;
    case VideoSubtype::kRgb32:
      return 4 * width * height;
  }
  return 0;
}

FrameView::FrameView(const FrameLayout& layout, const uint8_t* data, size_t size) noexcept
    : layout_(layout), data_(data), size_(size) {
  const size_t bytes = FrameBytes(layout);
  valid_ = data && bytes != 0 && size >= bytes;
  if (valid_) row_bytes_ = RowBytes(layout);
}

size_t FrameView::RgbRowOffset(int y) const noexcept {
  const int row = layout_.bottom_up ? layout_.height - 1 - y : y;
  return static_cast<size_t>(row) * row_bytes_;
}

Yuv FrameView::PixelYuv(int x, int y) const noexcept {
  const size_t width = static_cast<size_t>(layout_.width);
  const size_t luma_plane = width * static_cast<size_t>(layout_.height);
  switch (layout_.subtype) {
    case VideoSubtype::kYuy2: {
      const uint8_t* pair = data_ + static_cast<size_t>(y) * row_bytes_ + static_cast<size_t>(x & ~1) * 2;
      return Yuv{pair[(x & 1) * 2], pair[1], pair[3]};
    }
    case VideoSubtype::kNv12: {
      const uint8_t* uv = data_ + luma_plane + static_cast<size_t>(y / 2) * width + static_cast<size_t>(x & ~1);
      return Yuv{data_[static_cast<size_t>(y) * width + x], uv[0], uv[1]};
    }
    case VideoSubtype::kI420: {
      const size_t chroma = static_cast<size_t>(y / 2) * (width / 2) + static_cast<size_t>(x / 2);
      return Yuv{data_[static_cast<size_t>(y) * width + x], data_[luma_plane + chroma],
                 data_[luma_plane + luma_plane / 4 + chroma]};
    }
    case VideoSubtype::kRgb24:
    case VideoSubtype::kRgb32: {
      const size_t bytes = layout_.subtype == VideoSubtype::kRgb24 ? 3 : 4;
      const uint8_t* pixel = data_ + RgbRowOffset(y) + static_cast<size_t>(x) * bytes;
      return RgbToYuv(pixel[2], pixel[1], pixel[0]);
    }
  }
  return Yuv{16, 128, 128};
}

uint8_t FrameView::Luma(int x, int y) const noexcept {
  switch (layout_.subtype) {
    case VideoSubtype::kYuy2:
      return data_[static_cast<size_t>(y) * row_bytes_ + static_cast<size_t>(x) * 2];
    case VideoSubtype::kNv12:
    case VideoSubtype::kI420:
      return data_[static_cast<size_t>(y) * row_bytes_ + static_cast<size_t>(x)];
    case VideoSubtype::kRgb24:
    case VideoSubtype::kRgb32:
      break;
  }
  return PixelYuv(x, y).y;
}

BgraImage DecodeFrame(const FrameView& frame) {
  BgraImage image;
  if (!frame.valid()) return image;
  const FrameLayout& layout = frame.layout();
  try {
    image.pixels.resize(static_cast<size_t>(layout.width) * layout.height * 4);
  } catch (const std::bad_alloc&) {
    return image;
  }
  image.width = layout.width;
  image.height = layout.height;
  const size_t row_bytes = RowBytes(layout);
  for (int y = 0; y < layout.height; ++y) {
    uint8_t* out = image.pixels.data() + static_cast<size_t>(y) * layout.width * 4;
    if (IsRgb(layout.subtype)) {
      // Straight copies of B, G, R; RGB32's fourth byte is padding, not alpha.
      const size_t bytes = layout.subtype == VideoSubtype::kRgb24 ? 3 : 4;
      const int row = layout.bottom_up ? layout.height - 1 - y : y;
      const uint8_t* in = frame.data() + static_cast<size_t>(row) * row_bytes;
      for (int x = 0; x < layout.width; ++x, in += bytes, out += 4) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        out[3] = 255;
      }
      continue;
    }
    for (int x = 0; x < layout.width; ++x, out += 4) {
      const Yuv yuv = frame.PixelYuv(x, y);
      YuvToBgra(yuv.y, yuv.u, yuv.v, out);
    }
  }
  return image;
}

PictureRect FitRect(int source_width, int source_height, int width, int height) noexcept {
  if (source_width <= 0 || source_height <= 0 || width <= 0 || height <= 0) return PictureRect{};
  PictureRect rect;
  rect.width = width;
  rect.height = static_cast<int>(static_cast<int64_t>(width) * source_height / source_width);
  if (rect.height > height) {
    rect.height = height;
    rect.width = static_cast<int>(static_cast<int64_t>(height) * source_width / source_height);
  }
  rect.left = (width - rect.width) / 2;
  rect.top = (height - rect.height) / 2;
  return rect;
}

}  // namespace veltrano::tools
