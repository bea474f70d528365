// The converter's inner loops, one row (or one strip of rows) per call, as a table of
// functions: the plain C++ table is the reference, the SSE2 table gives the same
// bytes for every input. Pure functions of their arguments, any thread.
//
// Arithmetic every table follows:
//  - two rows averaged (4:2:0 chroma): (a + b + 1) >> 1, halves rounded up;
//  - filters: (sum of weight x sample + 128) >> 8, weights 0..256 summing to 256;
//  - YUV to RGB, BT.601 studio range: C = 298 (Y - 16), D = U - 128, E = V - 128,
//    B = (C + 516 D + 128) >> 8, G = (C - 100 D - 208 E + 128) >> 8,
//    R = (C + 409 E + 128) >> 8, each clamped to 0..255 (">>" rounding toward minus
//    infinity); both pixels of a pair use the pair's U and V. RGB32's fourth byte is
//    0xFF.
//
// No alignment is assumed for any pointer or length. A kernel reads only the bytes of
// its input rows and writes exactly the bytes of its output rows.
#pragma once

#include <cstdint>

#include "imaging/scaling_filter.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define VELTRANO_IMAGING_SSE2 1
#else
#define VELTRANO_IMAGING_SSE2 0
#endif

namespace veltrano::imaging {

//! Rows the horizontal filter handles per call.
inline constexpr int32_t kStripRows = 8;

// Chroma rows hold U and V interleaved, one pair per pixel pair (U V U V ...), as in
// NV12 and YUY2.

//! A strip of kStripRows YUY2 rows filtered across into Y rows and U V rows: luma
//! through `luma` from the rows' Y samples, U and V through `chroma` from their U and V
//! samples (one of each per pixel pair).
struct HorizontalJob {
  const uint8_t* rows[kStripRows];
  int32_t source_pairs;  //!< pixel pairs in each of `rows` (4 bytes each)
  const ScalingFilter* luma;
  const ScalingFilter* chroma;
  int32_t pairs;  //!< target pixel pairs: Y rows and U V rows of 2 x pairs bytes
  uint8_t* y[kStripRows];
  uint8_t* uv[kStripRows];
  //! Scratch of at least kStripRows x (4 x source_pairs rounded up to 16) bytes.
  uint8_t* scratch;
};

struct RowKernels {
  //! A YUY2 row of `pairs` pixel pairs to its Y row and U V row.
  void (*split_yuy2)(const uint8_t* yuy2, int32_t pairs, uint8_t* y, uint8_t* uv);
  //! Halves a YUY2 row across, for `pairs` target pairs: Y[x] the rounded average of
  //! samples 2x and 2x + 1, U[k] (and V[k]) that of pairs 2k and 2k + 1.
  void (*halve_yuy2)(const uint8_t* yuy2, int32_t pairs, uint8_t* y, uint8_t* uv);
  //! Averages two YUY2 rows, then halves the result across as halve_yuy2 does.
  void (*halve_yuy2_rows)(const uint8_t* row0, const uint8_t* row1, int32_t pairs, uint8_t* y, uint8_t* uv);
  //! Two YUY2 rows to two Y rows and one U V row of averaged chroma (NV12).
  void (*yuy2_to_nv12)(const uint8_t* row0, const uint8_t* row1, int32_t pairs, uint8_t* y0,
                       uint8_t* y1, uint8_t* uv);
  //! Two YUY2 rows to two Y rows, one U row and one V row of averaged chroma (I420).
  void (*yuy2_to_i420)(const uint8_t* row0, const uint8_t* row1, int32_t pairs, uint8_t* y0,
                       uint8_t* y1, uint8_t* u, uint8_t* v);
  //! A Y row and a U V row of `pairs` pairs to a YUY2 row.
  void (*pack_yuy2)(const uint8_t* y, const uint8_t* uv, int32_t pairs, uint8_t* yuy2);
  //! A U V row of `count` pairs to a U row and a V row.
  void (*split_uv)(const uint8_t* uv, int32_t count, uint8_t* u, uint8_t* v);
  //! out[i] = (a[i] + b[i] + 1) >> 1.
  void (*average_rows)(const uint8_t* a, const uint8_t* b, int32_t count, uint8_t* out);
  //! 2 x pairs pixels to B G R (3 bytes each) or B G R 0xFF (4 bytes each).
  void (*yuv_to_rgb24)(const uint8_t* y, const uint8_t* uv, int32_t pairs, uint8_t* bgr);
  void (*yuv_to_rgb32)(const uint8_t* y, const uint8_t* uv, int32_t pairs, uint8_t* bgrx);
  //! out[x] = (sum over k < taps of weights[k] x rows[k][x] + 128) >> 8, x < width.
  void (*filter_vertical)(const uint8_t* const* rows, const int16_t* weights, int32_t taps, int32_t width,
                          uint8_t* out);
  //! Two rows filtered from the same two rows with mirrored weights, `weight` 0..127:
  //! out_a[x] = ((256 - weight) a[x] + weight b[x] + 128) >> 8 and
  //! out_b[x] = (weight a[x] + (256 - weight) b[x] + 128) >> 8, x < width.
  void (*filter_vertical_mirrored)(const uint8_t* a, const uint8_t* b, int32_t weight, int32_t width,
                                   uint8_t* out_a, uint8_t* out_b);
  //! Runs `job`: Y[x] the filtered Y samples start..start + taps - 1 of the luma
  //! filter's entry x; U[k] and V[k] likewise through the chroma filter.
  void (*filter_horizontal)(const HorizontalJob& job);
};

//! The reference table.
const RowKernels& PlainRowKernels() noexcept;

//! The SSE2 table, or null where this build has no SSE2.
const RowKernels* Sse2RowKernels() noexcept;

}  // namespace veltrano::imaging
