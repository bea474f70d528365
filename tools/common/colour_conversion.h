// Colour conversion between packed YUY2 (Y0 U Y1 V per pixel pair) and 32-bit BGRA
// with the integer BT.601 studio-range coefficients, the same ones the camera uses
// for its placeholder. Pure functions, any thread.
#pragma once

#include <cstdint>

namespace veltrano::tools {

struct Yuv {
  uint8_t y;
  uint8_t u;
  uint8_t v;
};

Yuv RgbToYuv(uint8_t r, uint8_t g, uint8_t b) noexcept;

//! One pixel's BGRA (alpha 255) from studio-range Y, U and V, clamped to 0..255.
void YuvToBgra(uint8_t y, uint8_t u, uint8_t v, uint8_t* bgra) noexcept;

//! Converts width x height BGRA pixels (rows of bgra_stride bytes) to packed YUY2
//! (rows of 2 * width bytes). Each pair shares the mean of its two U and two V
//! values; width must be even.
void ConvertBgraToYuy2(const uint8_t* bgra, int width, int height, int bgra_stride, uint8_t* yuy2) noexcept;

//! Converts packed YUY2 (rows of yuy2_stride bytes) to BGRA with alpha 255 (rows of
//! 4 * width bytes), the inverse of the studio-range mapping, clamped to 0..255.
void ConvertYuy2ToBgra(const uint8_t* yuy2, int width, int height, int yuy2_stride, uint8_t* bgra) noexcept;

}  // namespace veltrano::tools
