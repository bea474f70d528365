// The reference row kernels: the arithmetic of row_kernels.h written out per sample.
#include "imaging/row_kernels.h"

#include <cstddef>

namespace veltrano::imaging {
namespace {

uint8_t Clamp(int value) noexcept {
  return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

uint8_t Average(int a, int b) noexcept { return static_cast<uint8_t>((a + b + 1) >> 1); }

void SplitYuy2(const uint8_t* yuy2, int32_t pairs, uint8_t* y, uint8_t* uv) noexcept {
  for (int32_t i = 0; i < pairs; ++i) {
    y[2 * i] = yuy2[4 * i];
    uv[2 * i] = yuy2[4 * i + 1];
    y[2 * i + 1] = yuy2[4 * i + 2];
    uv[2 * i + 1] = yuy2[4 * i + 3];
  }
}

void HalveYuy2(const uint8_t* yuy2, int32_t pairs, uint8_t* y, uint8_t* uv) noexcept {
  for (int32_t i = 0; i < pairs; ++i) {
    const uint8_t* p = yuy2 + 8 * i;  // two source pairs per target pair
    y[2 * i] = Average(p[0], p[2]);
    y[2 * i + 1] = Average(p[4], p[6]);
    uv[2 * i] = Average(p[1], p[5]);
    uv[2 * i + 1] = Average(p[3], p[7]);
  }
}

void HalveYuy2Rows(const uint8_t* row0, const uint8_t* row1, int32_t pairs, uint8_t* y, uint8_t* uv) noexcept {
  for (int32_t i = 0; i < pairs; ++i) {
    uint8_t p[8];
    for (int k = 0; k < 8; ++k) p[k] = Average(row0[8 * i + k], row1[8 * i + k]);
    HalveYuy2(p, 1, y + 2 * i, uv + 2 * i);
  }
}

void Yuy2ToNv12(const uint8_t* row0, const uint8_t* row1, int32_t pairs, uint8_t* y0, uint8_t* y1,
                uint8_t* uv) noexcept {
  for (int32_t i = 0; i < pairs; ++i) {
    y0[2 * i] = row0[4 * i];
    y0[2 * i + 1] = row0[4 * i + 2];
    y1[2 * i] = row1[4 * i];
    y1[2 * i + 1] = row1[4 * i + 2];
    uv[2 * i] = Average(row0[4 * i + 1], row1[4 * i + 1]);
    uv[2 * i + 1] = Average(row0[4 * i + 3], row1[4 * i + 3]);
  }
}

void Yuy2ToI420(const uint8_t* row0, const uint8_t* row1, int32_t pairs, uint8_t* y0, uint8_t* y1,
                uint8_t* u, uint8_t* v) noexcept {
  for (int32_t i = 0; i < pairs; ++i) {
    y0[2 * i] = row0[4 * i];
    y0[2 * i + 1] = row0[4 * i + 2];
    y1[2 * i] = row1[4 * i];
    y1[2 * i + 1] = row1[4 * i + 2];
    u[i] = Average(row0[4 * i + 1], row1[4 * i + 1]);
    v[i] = Average(row0[4 * i + 3], row1[4 * i + 3]);
  }
}

void PackYuy2(const uint8_t* y, const uint8_t* uv, int32_t pairs, uint8_t* yuy2) noexcept {
  for (int32_t i = 0; i < 2 * pairs; ++i) {
    yuy2[2 * i] = y[i];
    yuy2[2 * i + 1] = uv[i];
  }
}

void SplitUv(const uint8_t* uv, int32_t count, uint8_t* u, uint8_t* v) noexcept {
  for (int32_t i = 0; i < count; ++i) {
    u[i] = uv[2 * i];
    v[i] = uv[2 * i + 1];
  }
}

void AverageRows(const uint8_t* a, const uint8_t* b, int32_t count, uint8_t* out) noexcept {
  for (int32_t i = 0; i < count; ++i) out[i] = Average(a[i], b[i]);
}

template <int kBytesPerPixel>
void YuvToRgb(const uint8_t* y, const uint8_t* uv, int32_t pairs, uint8_t* out) noexcept {
  for (int32_t i = 0; i < 2 * pairs; ++i) {
    const int c = 298 * (y[i] - 16);
    const int d = uv[i / 2 * 2] - 128;
    const int e = uv[i / 2 * 2 + 1] - 128;
    uint8_t* pixel = out + kBytesPerPixel * i;
    pixel[0] = Clamp((c + 516 * d + 128) >> 8);
    pixel[1] = Clamp((c - 100 * d - 208 * e + 128) >> 8);
    pixel[2] = Clamp((c + 409 * e + 128) >> 8);
    if constexpr (kBytesPerPixel == 4) pixel[3] = 0xFF;
  }
}

void FilterVertical(const uint8_t* const* rows, const int16_t* weights, int32_t taps, int32_t width,
                    uint8_t* out) noexcept {
  for (int32_t x = 0; x < width; ++x) {
    int sum = 128;
    for (int32_t k = 0; k < taps; ++k) sum += weights[k] * rows[k][x];
    out[x] = static_cast<uint8_t>(sum >> 8);
  }
}

void FilterVerticalMirrored(const uint8_t* a, const uint8_t* b, int32_t weight, int32_t width, uint8_t* out_a,
                            uint8_t* out_b) noexcept {
  for (int32_t x = 0; x < width; ++x) {
    out_a[x] = static_cast<uint8_t>(((256 - weight) * a[x] + weight * b[x] + 128) >> 8);
    out_b[x] = static_cast<uint8_t>((weight * a[x] + (256 - weight) * b[x] + 128) >> 8);
  }
}

// Filters the samples `step` bytes apart from byte `offset` of a YUY2 row (Y: step 2
// offset 0, U: step 4 offset 1, V: step 4 offset 3) into every `out_step`th byte.
void FilterAcross(const uint8_t* row, const ScalingFilter& filter, int32_t step, int32_t offset, int32_t count,
                  uint8_t* out, int32_t out_step) noexcept {
  const int32_t taps = filter.taps;
  for (int32_t x = 0; x < count; ++x) {
    const uint8_t* source = row + step * filter.start[x] + offset;
    const int16_t* weights = &filter.weights[static_cast<size_t>(x) * taps];
    int sum = 128;
    for (int32_t k = 0; k < taps; ++k) sum += weights[k] * source[step * k];
    out[out_step * x] = static_cast<uint8_t>(sum >> 8);
  }
}

void FilterHorizontal(const HorizontalJob& job) noexcept {
  for (int32_t r = 0; r < kStripRows; ++r) {
    FilterAcross(job.rows[r], *job.luma, 2, 0, 2 * job.pairs, job.y[r], 1);
    FilterAcross(job.rows[r], *job.chroma, 4, 1, job.pairs, job.uv[r], 2);
    FilterAcross(job.rows[r], *job.chroma, 4, 3, job.pairs, job.uv[r] + 1, 2);
  }
}

constexpr RowKernels kPlainKernels = {
    SplitYuy2, HalveYuy2,   HalveYuy2Rows, Yuy2ToNv12,  Yuy2ToI420,     PackYuy2,        SplitUv,
    AverageRows, YuvToRgb<3>, YuvToRgb<4>, FilterVertical, FilterVerticalMirrored, FilterHorizontal,
};

}  // namespace

const RowKernels& PlainRowKernels() noexcept { return kPlainKernels; }

}  // namespace veltrano::imaging
