// The scaler's two orders of filtering and the buffers between the passes.
#include "imaging/frame_scaler.h"

#include <algorithm>
#include <cstddef>

namespace veltrano::imaging {

void FrameScaler::Configure(int32_t source_width, int32_t source_height, int32_t target_width,
                            int32_t target_height, bool chroma_420) {
  source_pairs_ = source_width / 2;
  source_height_ = source_height;
  target_pairs_ = target_width / 2;
  chroma_420_ = chroma_420;
  across_first_ = target_height > source_height;
  luma_across_ = BuildScalingFilter(source_width, target_width, FilterAxis::kHorizontal);
  chroma_across_ = BuildScalingFilter(source_pairs_, target_pairs_, FilterAxis::kHorizontal);
  down_ = BuildScalingFilter(source_height, target_height, FilterAxis::kVertical);
  chroma_down_ = across_first_ && chroma_420 ? BuildScalingFilter(source_height, target_height / 2, FilterAxis::kVertical)
                                             : ScalingFilter();

  const size_t source_bytes = 4 * static_cast<size_t>(source_pairs_);
  const size_t target_bytes = 4 * static_cast<size_t>(target_pairs_);  // Y and U V of a row
  between_.assign(!across_first_ && !down_.identity ? kStripRows * source_bytes : 0, 0);
  chroma_.assign(!across_first_ && chroma_420 ? kStripRows * target_bytes / 2 : 0, 0);
  ring_rows_ = 0;
  if (across_first_) {
    // Each pass keeps the ring rows from its first tap to its last, luma or chroma,
    // while the ring is filled a strip at a time, up to kStripRows - 1 rows beyond.
    for (int32_t first = 0; first < target_height; first += kPassRows) {
      const int32_t last = std::min(first + kPassRows, target_height) - 1;
      int32_t low = down_.start[first];
      int32_t high = down_.start[last] + down_.taps - 1;
      if (chroma_420) {
        low = std::min(low, chroma_down_.start[first / 2]);
        high = std::max(high, chroma_down_.start[last / 2] + chroma_down_.taps - 1);
      }
      ring_rows_ = std::max(ring_rows_, high - low + kStripRows);
    }
  }
  ring_.assign(static_cast<size_t>(ring_rows_) * target_bytes, 0);
  spare_.assign(2 * static_cast<size_t>(target_pairs_), 0);
  transposed_.assign(kStripRows * ((source_bytes + 15) / 16 * 16), 0);
  taps_.assign(static_cast<size_t>(std::max(down_.taps, chroma_down_.taps)), nullptr);
}

void FrameScaler::Begin(const uint8_t* source, int32_t stride, const RowKernels* kernels) noexcept {
  source_ = source;
  stride_ = stride;
  kernels_ = kernels;
  next_row_ = 0;
  next_filled_ = 0;
}

const uint8_t* FrameScaler::SourceRow(int32_t row) const noexcept {
  return source_ + static_cast<ptrdiff_t>(row) * stride_;
}

void FrameScaler::Across(const uint8_t* const* rows, int32_t count, uint8_t* const* y, uint8_t* const* uv) noexcept {
  if (luma_across_.identity) {
    for (int32_t i = 0; i < count; ++i) kernels_->split_yuy2(rows[i], source_pairs_, y[i], uv[i]);
    return;
  }
  if (luma_across_.halving) {  // weights 128 and 128 in both planes
    for (int32_t i = 0; i < count; ++i) kernels_->halve_yuy2(rows[i], target_pairs_, y[i], uv[i]);
    return;
  }
  // The kernel always takes a full strip: missing rows repeat the last one and their
  // results go to the spare row.
  HorizontalJob job;
  job.source_pairs = source_pairs_;
  job.luma = &luma_across_;
  job.chroma = &chroma_across_;
  job.pairs = target_pairs_;
  job.scratch = transposed_.data();
  for (int32_t r = 0; r < kStripRows; ++r) {
    const bool real = r < count;
    job.rows[r] = rows[real ? r : count - 1];
    job.y[r] = real ? y[r] : spare_.data();
    job.uv[r] = real ? uv[r] : spare_.data();
  }
  kernels_->filter_horizontal(job);
}

void FrameScaler::Produce(int32_t count, uint8_t* const* y, uint8_t* const* uv) noexcept {
  if (across_first_) {
    ProduceAcrossFirst(count, y, uv);
  } else {
    ProduceDownFirst(count, y, uv);
  }
}

void FrameScaler::ProduceDownFirst(int32_t count, uint8_t* const* y, uint8_t* const* uv) noexcept {
  const int32_t source_bytes = 4 * source_pairs_;
  const bool halving = down_.halving && luma_across_.halving;
  for (int32_t strip = 0; strip < count; strip += kStripRows) {
    const int32_t rows = std::min(kStripRows, count - strip);
    // 4:2:0 chroma goes aside first, to be averaged in pairs of rows.
    uint8_t* chroma[kStripRows];
    for (int32_t i = 0; i < rows; ++i) {
      chroma[i] = chroma_420_ ? &chroma_[static_cast<size_t>(i) * 2 * target_pairs_] : uv[strip + i];
    }
    if (halving) {  // both passes at once: rows 2j and 2j + 1 averaged, then halved across
      for (int32_t i = 0; i < rows; ++i, ++next_row_) {
        kernels_->halve_yuy2_rows(SourceRow(2 * next_row_), SourceRow(2 * next_row_ + 1), target_pairs_,
                                  y[strip + i], chroma[i]);
      }
    } else {
      const uint8_t* filtered[kStripRows];
      for (int32_t i = 0; i < rows; ++i) {
        const int32_t row = next_row_++;
        if (down_.identity) {
          filtered[i] = SourceRow(row);
          continue;
        }
        for (int32_t k = 0; k < down_.taps; ++k) taps_[k] = SourceRow(down_.start[row] + k);
        uint8_t* out = &between_[static_cast<size_t>(i) * source_bytes];
        kernels_->filter_vertical(taps_.data(), &down_.weights[static_cast<size_t>(row) * down_.taps], down_.taps,
                                  source_bytes, out);
        filtered[i] = out;
      }
      Across(filtered, rows, y + strip, chroma);
    }
    if (!chroma_420_) continue;
    for (int32_t i = 0; i < rows; i += 2) {
      kernels_->average_rows(chroma[i], chroma[i + 1], 2 * target_pairs_, uv[(strip + i) / 2]);
    }
  }
}

uint8_t* FrameScaler::RingRow(int32_t row, int32_t plane) noexcept {
  // A ring row holds Y, then U V, 2 x pairs bytes each.
  return &ring_[(static_cast<size_t>(row % ring_rows_) * 2 + plane) * 2 * target_pairs_];
}

void FrameScaler::FillRing() noexcept {
  const int32_t rows = std::min(kStripRows, source_height_ - next_filled_);
  const uint8_t* in[kStripRows];
  uint8_t* out[2][kStripRows];
  for (int32_t i = 0; i < rows; ++i) {
    in[i] = SourceRow(next_filled_ + i);
    for (int32_t plane = 0; plane < 2; ++plane) out[plane][i] = RingRow(next_filled_ + i, plane);
  }
  Across(in, rows, out[0], out[1]);
  next_filled_ += rows;
}

void FrameScaler::Down(const ScalingFilter& filter, int32_t row, int32_t plane, uint8_t* out) noexcept {
  const int32_t first = filter.start[row];
  for (int32_t k = 0; k < filter.taps; ++k) taps_[k] = RingRow(first + k, plane);
  kernels_->filter_vertical(taps_.data(), &filter.weights[static_cast<size_t>(row) * filter.taps], filter.taps,
                            2 * target_pairs_, out);
}

bool FrameScaler::MirroredPair(int32_t row) const noexcept {
  if (down_.taps != 2 || row + 1 >= static_cast<int32_t>(down_.start.size())) return false;
  const int16_t* w = &down_.weights[2 * static_cast<size_t>(row)];
  return down_.start[row] == down_.start[row + 1] && w[0] == w[3] && w[1] == w[2] && w[1] < 128;
}

void FrameScaler::DownMirrored(int32_t row, int32_t plane, uint8_t* out0, uint8_t* out1) noexcept {
  const int32_t first = down_.start[row];
  kernels_->filter_vertical_mirrored(RingRow(first, plane), RingRow(first + 1, plane),
                                     down_.weights[2 * static_cast<size_t>(row) + 1], 2 * target_pairs_, out0, out1);
}

void FrameScaler::ProduceAcrossFirst(int32_t count, uint8_t* const* y, uint8_t* const* uv) noexcept {
  const int32_t first = next_row_;
  const int32_t last = first + count - 1;
  next_row_ += count;
  int32_t needed = down_.start[last] + down_.taps - 1;
  if (chroma_420_) needed = std::max(needed, chroma_down_.start[last / 2] + chroma_down_.taps - 1);
  while (next_filled_ <= needed) FillRing();
  for (int32_t i = 0; i < count; ++i) {
    if (i + 1 < count && MirroredPair(first + i)) {  // an enlargement's rows between the same two
      DownMirrored(first + i, 0, y[i], y[i + 1]);
      if (!chroma_420_) DownMirrored(first + i, 1, uv[i], uv[i + 1]);
      ++i;
      continue;
    }
    Down(down_, first + i, 0, y[i]);
    if (!chroma_420_) Down(down_, first + i, 1, uv[i]);
  }
  if (!chroma_420_) return;
  for (int32_t i = 0; i < count / 2; ++i) Down(chroma_down_, first / 2 + i, 1, uv[i]);
}

}  // namespace veltrano::imaging
