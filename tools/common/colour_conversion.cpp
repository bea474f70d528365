#include "tools/common/colour_conversion.h"

#include <algorithm>

namespace veltrano::tools {
namespace {

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// ">> 8" on negative intermediates must round toward minus infinity; C++20 defines
// the right shift of a negative int as exactly that arithmetic shift.
int Shift8(int value) { return value >> 8; }

}  // namespace

Yuv RgbToYuv(uint8_t r, uint8_t g, uint8_t b) noexcept {
  return Yuv{Clamp(Shift8(66 * r + 129 * g + 25 * b + 128) + 16),
             Clamp(Shift8(-38 * r - 74 * g + 112 * b + 128) + 128),
             Clamp(Shift8(112 * r - 94 * g - 18 * b + 128) + 128)};
}

void ConvertBgraToYuy2(const uint8_t* bgra, int width, int height, int bgra_stride, uint8_t* yuy2) noexcept {
  const size_t out_stride = static_cast<size_t>(width) * 2;
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = bgra + static_cast<size_t>(bgra_stride) * y;
    uint8_t* out = yuy2 + out_stride * y;
    for (int x = 0; x + 1 < width; x += 2) {
      const uint8_t* p = in + static_cast<size_t>(x) * 4;
      const Yuv first = RgbToYuv(p[2], p[1], p[0]);
      const Yuv second = RgbToYuv(p[6], p[5], p[4]);
      uint8_t* pair = out + static_cast<size_t>(x) * 2;
      pair[0] = first.y;
      pair[1] = static_cast<uint8_t>((first.u + second.u) >> 1);
      pair[2] = second.y;
      pair[3] = static_cast<uint8_t>((first.v + second.v) >> 1);
    }
  }
}

void YuvToBgra(uint8_t y, uint8_t u, uint8_t v, uint8_t* bgra) noexcept {
  const int c = 298 * (y - 16);
  const int d = u - 128;
  const int e = v - 128;
  bgra[0] = Clamp(Shift8(c + 516 * d + 128));
  bgra[1] = Clamp(Shift8(c - 100 * d - 208 * e + 128));
  bgra[2] = Clamp(Shift8(c + 409 * e + 128));
  bgra[3] = 255;
}

void ConvertYuy2ToBgra(const uint8_t* yuy2, int width, int height, int yuy2_stride, uint8_t* bgra) noexcept {
  const size_t out_stride = static_cast<size_t>(width) * 4;
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = yuy2 + static_cast<size_t>(yuy2_stride) * y;
    uint8_t* out = bgra + out_stride * y;
    for (int x = 0; x + 1 < width; x += 2) {
      const uint8_t* pair = in + static_cast<size_t>(x) * 2;
      YuvToBgra(pair[0], pair[1], pair[3], out + static_cast<size_t>(x) * 4);
      YuvToBgra(pair[2], pair[1], pair[3], out + static_cast<size_t>(x + 1) * 4);
    }
  }
}

}  // namespace veltrano::tools
