// Converts the producer's packed YUY2 pictures into the camera's current mode: any
// even-sized target in YUY2, NV12, I420, RGB24 or RGB32 (see pixel_format.h for the
// layouts), scaled to fit with the aspect ratio kept and black bars around.
//
// Threads: a converter is used by one thread at a time (in the camera, the pin's
// worker); Convert writes into scratch memory the converter owns. Distinct converters
// share nothing. Nothing here throws, allocates during Convert, or needs COM.
//
// What Convert produces:
//  - Same size and YUY2: the rows copied (only the source's row padding dropped).
//  - Same size, NV12 or I420: Y copied, the U and V of each pair of rows averaged,
//    (a + b + 1) >> 1.
//  - RGB24 and RGB32: BT.601 studio range to full range, C = 298 (Y - 16),
//    D = U - 128, E = V - 128, B = (C + 516 D + 128) >> 8,
//    G = (C - 100 D - 208 E + 128) >> 8, R = (C + 409 E + 128) >> 8, clamped to
//    0..255; both pixels of a pair use the pair's U and V; the fourth byte of RGB32 is
//    0xFF. Rows bottom-up, padded to 4 bytes with zeros.
//  - Another size: the picture scaled to FitContent's rectangle (letterbox.h), luma
//    and chroma each on its own grid (chroma at half width; for NV12 and I420 also at
//    half height, see frame_scaler.h), bilinear where it grows and area-averaged where
//    it shrinks (see scaling_filter.h). Bars are black: Y 16, U and V 128; RGB 0, 0, 0
//    (and 0xFF).
// Every byte of the target is written, bars and row padding included.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/frame_scaler.h"
#include "imaging/letterbox.h"
#include "imaging/pixel_format.h"
#include "imaging/row_kernels.h"

namespace veltrano::imaging {

//! Which implementation of the inner loops a converter runs. Both give the same bytes;
//! kPlain is the reference, kSse2 the fast one (plain where the build has no SSE2).
enum class Kernel { kPlain, kSse2 };

//! True when this build carries the SSE2 kernels (every x64 build does).
constexpr bool Sse2Compiled() noexcept { return VELTRANO_IMAGING_SSE2 != 0; }

//! Largest source or target side accepted.
inline constexpr int32_t kMaxSide = 16384;

class FrameConverter {
 public:
  FrameConverter() noexcept = default;
  FrameConverter(FrameConverter&&) noexcept = default;
  FrameConverter& operator=(FrameConverter&&) noexcept = default;
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  //! Prepares conversions from source_width x source_height YUY2 (width even, 2 to
  //! kMaxSide; height 1 to kMaxSide) to target_width x target_height in `format` (both
  //! even, 2 to kMaxSide, FrameBytes not 0): the letterbox rectangle, the filter tables
  //! and all scratch memory. False for any other size or when memory runs out; the
  //! converter is then unconfigured (whatever it held before is dropped).
  bool Configure(int32_t source_width, int32_t source_height, PixelFormat format, int32_t target_width,
                 int32_t target_height, Kernel kernel = Kernel::kSse2) noexcept;

  //! True when configured for exactly these sizes and format (any kernel).
  bool IsConfiguredFor(int32_t source_width, int32_t source_height, PixelFormat format, int32_t target_width,
                       int32_t target_height) const noexcept;

  //! Converts one picture of the configured source size, rows `source_stride` bytes
  //! apart (at least 2 x width; the bytes past 2 x width are never read), into
  //! `target`, which holds FrameBytes(format, target size) bytes, every one of which
  //! is written. False, writing nothing, when unconfigured, a pointer is null or the
  //! stride is too small.
  bool Convert(const uint8_t* source, int32_t source_stride, uint8_t* target) noexcept;

  bool configured() const noexcept { return configured_; }
  //! The kernel in use: kPlain when kSse2 was asked for in a build without SSE2.
  Kernel kernel() const noexcept { return kernel_; }
  //! Where the picture lands in the target (all zero when unconfigured).
  ContentRect content() const noexcept { return content_; }

 private:
  bool Scaled() const noexcept;
  void FillBars(uint8_t* target) const noexcept;
  void ConvertUnscaled(const uint8_t* source, int32_t stride, uint8_t* target) noexcept;
  void ConvertScaled(const uint8_t* source, int32_t stride, uint8_t* target) noexcept;
  // Rows of the target's planes: Y (or the whole pixel row for packed formats),
  // U (NV12: the U V row) and V, `row` counted in that plane's rows.
  uint8_t* TargetRow(uint8_t* target, int32_t row) const noexcept;
  uint8_t* ChromaRow(uint8_t* target, int32_t plane, int32_t row) const noexcept;
  // Writes content row `row` of a packed format from the staged planes' row `staged`.
  void PackRow(uint8_t* target, int32_t row, int32_t staged) noexcept;
  uint8_t* Staged(int32_t plane, int32_t row) noexcept;

  bool configured_ = false;
  Kernel kernel_ = Kernel::kPlain;
  const RowKernels* kernels_ = nullptr;
  int32_t source_width_ = 0;
  int32_t source_height_ = 0;
  PixelFormat format_ = PixelFormat::kYuy2;
  int32_t target_width_ = 0;
  int32_t target_height_ = 0;
  ContentRect content_ = {0, 0, 0, 0};
  FrameScaler scaler_;
  // Staged content rows (Y, then U V) for formats that are not written plane by plane.
  int32_t staged_stride_ = 0;
  std::vector<uint8_t> staged_;
};

}  // namespace veltrano::imaging
