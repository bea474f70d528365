// The converter: configuration, bars, and the two ways through a frame (rows converted
// straight into the target when the picture keeps its size, the frame scaler when it
// does not).
#include "imaging/frame_converter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace veltrano::imaging {
namespace {

constexpr uint8_t kBlackLuma = 16;
constexpr uint8_t kNeutralChroma = 128;
constexpr int32_t kPassRows = FrameScaler::kPassRows;

bool Is420(PixelFormat format) noexcept { return format == PixelFormat::kNv12 || format == PixelFormat::kI420; }

// Bytes per pixel in a packed row or in the luma plane.
int32_t BytesPerPixel(PixelFormat format) noexcept {
  switch (format) {
    case PixelFormat::kYuy2: return 2;
    case PixelFormat::kNv12:
    case PixelFormat::kI420: return 1;
    case PixelFormat::kRgb24: return 3;
    case PixelFormat::kRgb32: return 4;
  }
  return 0;
}

// Black in the format of a packed or luma row, `pixels` of them from `row`.
void FillBlack(PixelFormat format, uint8_t* row, int32_t pixels) noexcept {
  if (pixels <= 0) return;
  switch (format) {
    case PixelFormat::kYuy2:
      for (int32_t i = 0; i < pixels; i += 2) {
        const uint8_t pair[4] = {kBlackLuma, kNeutralChroma, kBlackLuma, kNeutralChroma};
        std::memcpy(row + 2 * i, pair, 4);
      }
      break;
    case PixelFormat::kNv12:
    case PixelFormat::kI420:
      std::memset(row, kBlackLuma, static_cast<size_t>(pixels));
      break;
    case PixelFormat::kRgb24:
      std::memset(row, 0, 3 * static_cast<size_t>(pixels));
      break;
    case PixelFormat::kRgb32:
      for (int32_t i = 0; i < pixels; ++i) {
        const uint8_t pixel[4] = {0, 0, 0, 0xFF};
        std::memcpy(row + 4 * i, pixel, 4);
      }
      break;
  }
}

}  // namespace

bool FrameConverter::Configure(int32_t source_width, int32_t source_height, PixelFormat format,
                               int32_t target_width, int32_t target_height, Kernel kernel) noexcept {
  configured_ = false;
  auto side = [](int32_t value) { return value >= 2 && value <= kMaxSide && value % 2 == 0; };
  if (!side(source_width) || source_height < 1 || source_height > kMaxSide || !side(target_width) ||
      !side(target_height) || FrameBytes(format, target_width, target_height) == 0) {
    *this = FrameConverter();
    return false;
  }
  const RowKernels* sse2 = Sse2RowKernels();
  kernel_ = kernel == Kernel::kSse2 && sse2 ? Kernel::kSse2 : Kernel::kPlain;
  kernels_ = kernel_ == Kernel::kSse2 ? sse2 : &PlainRowKernels();
  source_width_ = source_width;
  source_height_ = source_height;
  format_ = format;
  target_width_ = target_width;
  target_height_ = target_height;
  const ContentRect content = FitContent(source_width, source_height, target_width, target_height);
  content_ = content;
  try {
    if (Scaled()) {
      scaler_.Configure(source_width, source_height, content.width, content.height, Is420(format));
    } else {
      scaler_ = FrameScaler();
    }
    staged_stride_ = (content.width + 15) / 16 * 16 + 16;
    staged_.assign(static_cast<size_t>(2 * kPassRows) * staged_stride_, 0);
  } catch (...) {  // allocation is all that can fail here (sizes are bounded above)
    *this = FrameConverter();
    return false;
  }
  configured_ = true;
  return true;
}

bool FrameConverter::IsConfiguredFor(int32_t source_width, int32_t source_height, PixelFormat format,
                                     int32_t target_width, int32_t target_height) const noexcept {
  return configured_ && source_width == source_width_ && source_height == source_height_ && format == format_ &&
         target_width == target_width_ && target_height == target_height_;
}

bool FrameConverter::Convert(const uint8_t* source, int32_t source_stride, uint8_t* target) noexcept {
  if (!configured_ || !source || !target || source_stride / 2 < source_width_) return false;
  FillBars(target);
  if (Scaled()) {
    ConvertScaled(source, source_stride, target);
  } else {
    ConvertUnscaled(source, source_stride, target);
  }
  return true;
}

bool FrameConverter::Scaled() const noexcept {
  return content_.width != source_width_ || content_.height != source_height_;
}

uint8_t* FrameConverter::TargetRow(uint8_t* target, int32_t row) const noexcept {
  const size_t row_bytes = RowBytes(format_, target_width_);
  if (format_ == PixelFormat::kRgb24 || format_ == PixelFormat::kRgb32) {
    return target + static_cast<size_t>(target_height_ - 1 - row) * row_bytes;  // bottom-up
  }
  return target + static_cast<size_t>(row) * row_bytes;
}

uint8_t* FrameConverter::ChromaRow(uint8_t* target, int32_t plane, int32_t row) const noexcept {
  const size_t luma_bytes = static_cast<size_t>(target_width_) * target_height_;
  if (format_ == PixelFormat::kNv12) return target + luma_bytes + static_cast<size_t>(row) * target_width_;
  const size_t chroma_width = static_cast<size_t>(target_width_ / 2);
  return target + luma_bytes + plane * luma_bytes / 4 + row * chroma_width;
}

void FrameConverter::FillBars(uint8_t* target) const noexcept {
  const ContentRect c = content_;
  const int32_t bytes_per_pixel = BytesPerPixel(format_);
  const size_t row_bytes = RowBytes(format_, target_width_);
  for (int32_t row = 0; row < target_height_; ++row) {
    uint8_t* p = TargetRow(target, row);
    const bool content_row = row >= c.y && row < c.y + c.height;
    const int32_t left = content_row ? c.x : target_width_;
    const int32_t right = content_row ? c.x + c.width : target_width_;
    FillBlack(format_, p, left);
    FillBlack(format_, p + static_cast<size_t>(right) * bytes_per_pixel, target_width_ - right);
    if (format_ == PixelFormat::kRgb24) {  // the row's padding to 4 bytes
      const size_t used = 3 * static_cast<size_t>(target_width_);
      std::memset(p + used, 0, row_bytes - used);
    }
  }
  if (!Is420(format_)) return;
  // Chroma planes: rows and columns at half resolution; NV12 keeps U V pairs, so its
  // offsets in bytes equal the luma ones.
  const int32_t planes = format_ == PixelFormat::kNv12 ? 1 : 2;
  const int32_t scale = format_ == PixelFormat::kNv12 ? 1 : 2;
  for (int32_t plane = 0; plane < planes; ++plane) {
    for (int32_t row = 0; row < target_height_ / 2; ++row) {
      uint8_t* p = ChromaRow(target, plane, row);
      const bool content_row = row >= c.y / 2 && row < (c.y + c.height) / 2;
      const int32_t left = (content_row ? c.x : target_width_) / scale;
      const int32_t right = (content_row ? c.x + c.width : target_width_) / scale;
      std::memset(p, kNeutralChroma, static_cast<size_t>(left));
      std::memset(p + right, kNeutralChroma, static_cast<size_t>(target_width_ / scale - right));
    }
  }
}

uint8_t* FrameConverter::Staged(int32_t plane, int32_t row) noexcept {
  return &staged_[(static_cast<size_t>(plane) * kPassRows + row) * staged_stride_];
}

void FrameConverter::PackRow(uint8_t* target, int32_t row, int32_t staged) noexcept {
  const uint8_t* y = Staged(0, staged);
  const uint8_t* uv = Staged(1, staged);
  uint8_t* out = TargetRow(target, row) + static_cast<size_t>(content_.x) * BytesPerPixel(format_);
  const int32_t pairs = content_.width / 2;
  switch (format_) {
    case PixelFormat::kYuy2: kernels_->pack_yuy2(y, uv, pairs, out); break;
    case PixelFormat::kRgb24: kernels_->yuv_to_rgb24(y, uv, pairs, out); break;
    case PixelFormat::kRgb32: kernels_->yuv_to_rgb32(y, uv, pairs, out); break;
    case PixelFormat::kNv12:
    case PixelFormat::kI420: break;  // written plane by plane
  }
}

void FrameConverter::ConvertUnscaled(const uint8_t* source, int32_t stride, uint8_t* target) noexcept {
  const ContentRect c = content_;
  const int32_t pairs = source_width_ / 2;
  auto source_row = [source, stride](int32_t row) { return source + static_cast<ptrdiff_t>(row) * stride; };
  if (Is420(format_)) {
    for (int32_t row = 0; row < source_height_; row += 2) {
      uint8_t* y0 = TargetRow(target, c.y + row) + c.x;
      uint8_t* y1 = TargetRow(target, c.y + row + 1) + c.x;
      const int32_t chroma_row = (c.y + row) / 2;
      if (format_ == PixelFormat::kNv12) {
        kernels_->yuy2_to_nv12(source_row(row), source_row(row + 1), pairs, y0, y1,
                               ChromaRow(target, 0, chroma_row) + c.x);
      } else {
        kernels_->yuy2_to_i420(source_row(row), source_row(row + 1), pairs, y0, y1,
                               ChromaRow(target, 0, chroma_row) + c.x / 2, ChromaRow(target, 1, chroma_row) + c.x / 2);
      }
    }
    return;
  }
  for (int32_t row = 0; row < source_height_; ++row) {
    if (format_ == PixelFormat::kYuy2) {
      std::memcpy(TargetRow(target, c.y + row) + 2 * static_cast<size_t>(c.x), source_row(row),
                  4 * static_cast<size_t>(pairs));
      continue;
    }
    kernels_->split_yuy2(source_row(row), pairs, Staged(0, 0), Staged(1, 0));
    PackRow(target, c.y + row, 0);
  }
}

void FrameConverter::ConvertScaled(const uint8_t* source, int32_t stride, uint8_t* target) noexcept {
  const ContentRect c = content_;
  const bool planar = Is420(format_);
  scaler_.Begin(source, stride, kernels_);
  for (int32_t pass = 0; pass < c.height; pass += kPassRows) {
    const int32_t rows = std::min(kPassRows, c.height - pass);  // even
    const int32_t chroma_rows = planar ? rows / 2 : rows;
    const int32_t first_chroma = (c.y + pass) / 2;
    uint8_t* y[kPassRows];
    uint8_t* uv[kPassRows];
    for (int32_t i = 0; i < rows; ++i) y[i] = planar ? TargetRow(target, c.y + pass + i) + c.x : Staged(0, i);
    for (int32_t i = 0; i < chroma_rows; ++i) {
      uv[i] = format_ == PixelFormat::kNv12 ? ChromaRow(target, 0, first_chroma + i) + c.x : Staged(1, i);
    }
    scaler_.Produce(rows, y, uv);
    if (format_ == PixelFormat::kI420) {
      for (int32_t i = 0; i < chroma_rows; ++i) {
        kernels_->split_uv(uv[i], c.width / 2, ChromaRow(target, 0, first_chroma + i) + c.x / 2,
                           ChromaRow(target, 1, first_chroma + i) + c.x / 2);
      }
    } else if (!planar) {
      for (int32_t i = 0; i < rows; ++i) PackRow(target, c.y + pass + i, i);
    }
  }
}

}  // namespace veltrano::imaging
