// Test helpers that make frames of every subtype from a packed YUY2 frame, the way a
// camera in that mode would deliver the same picture: a nearest-neighbour letterbox
// into another size, and a change of layout (4:2:0 chroma from the even rows, RGB
// bottom-up with rows padded to 4 bytes). Only for building inputs of the readers.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/common/colour_conversion.h"
#include "tools/common/frame_decoder.h"

namespace veltrano::tools::test {

//! `source` (width x height YUY2) scaled by nearest neighbour into the 16:9 place of
//! a frame of `width` x `height`, black around it.
inline std::vector<uint8_t> LetterboxYuy2(const std::vector<uint8_t>& source, int source_width, int source_height,
                                          int width, int height) {
  std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 2);
  for (size_t i = 0; i < frame.size(); i += 2) {
    frame[i] = 16;
    frame[i + 1] = 128;
  }
  const PictureRect area = FitRect(source_width, source_height, width, height);
  for (int y = 0; y < area.height; ++y) {
    const int source_y = y * source_height / area.height;
    for (int x = 0; x < area.width; ++x) {
      const int source_x = x * source_width / area.width;
      const uint8_t* pair = source.data() + (static_cast<size_t>(source_y) * source_width + (source_x & ~1)) * 2;
      uint8_t* out = frame.data() + (static_cast<size_t>(area.top + y) * width + area.left + x) * 2;
      out[0] = pair[(source_x & 1) * 2];
      out[1] = pair[(area.left + x) % 2 ? 3 : 1];
    }
  }
  return frame;
}

//! A width x height YUY2 frame in `subtype`'s layout (RGB bottom-up).
inline std::vector<uint8_t> EncodeFromYuy2(const std::vector<uint8_t>& yuy2, int width, int height,
                                           VideoSubtype subtype) {
  const FrameLayout layout{subtype, width, height, IsRgb(subtype)};
  const FrameView source(FrameLayout{VideoSubtype::kYuy2, width, height, false}, yuy2.data(), yuy2.size());
  std::vector<uint8_t> frame(FrameBytes(layout), 0);
  const size_t plane = static_cast<size_t>(width) * height;
  const size_t row_bytes = RowBytes(layout);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Yuv pixel = source.PixelYuv(x, y);
      const size_t chroma = static_cast<size_t>(y / 2) * (width / 2) + x / 2;
      switch (subtype) {
        case VideoSubtype::kYuy2:
          return yuy2;
        case VideoSubtype::kNv12:
          frame[static_cast<size_t>(y) * width + x] = pixel.y;
          frame[plane + static_cast<size_t>(y / 2) * width + (x & ~1)] = pixel.u;
          frame[plane + static_cast<size_t>(y / 2) * width + (x & ~1) + 1] = pixel.v;
          break;
        case VideoSubtype::kI420:
          frame[static_cast<size_t>(y) * width + x] = pixel.y;
          frame[plane + chroma] = pixel.u;
          frame[plane + plane / 4 + chroma] = pixel.v;
          break;
        case VideoSubtype::kRgb24:
        case VideoSubtype::kRgb32: {
          uint8_t bgra[4];
          YuvToBgra(pixel.y, pixel.u, pixel.v, bgra);
          const size_t bytes = subtype == VideoSubtype::kRgb24 ? 3 : 4;
          uint8_t* out = frame.data() + static_cast<size_t>(height - 1 - y) * row_bytes + x * bytes;
          for (size_t k = 0; k < bytes; ++k) out[k] = bgra[k];
          break;
        }
      }
    }
  }
  return frame;
}

}  // namespace veltrano::tools::test
