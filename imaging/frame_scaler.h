// Scales a YUY2 picture to Y rows and U V rows (see row_kernels.h) of another size, a
// pass of rows at a time. Part of FrameConverter; one thread at a time.
//
// Luma and chroma are filtered on their own grids (chroma at half width), straight
// from the YUY2 rows. When the target has no more rows than the source, each target
// row is first filtered down from YUY2 rows and then across into Y, U and V; when it
// has more, YUY2 rows are filtered across first (kept in a ring) and target rows are
// then interpolated from them, so that the costlier pass across runs on the fewer
// rows. 4:2:0 chroma (half height) is, in the first case, the rounded average of each
// pair of target rows' chroma, as in the same-size conversion; in the second, filtered
// down to half height directly.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/row_kernels.h"
#include "imaging/scaling_filter.h"

namespace veltrano::imaging {

class FrameScaler {
 public:
  //! Target rows one Produce call writes at most.
  static constexpr int32_t kPassRows = 2 * kStripRows;

  FrameScaler() = default;
  FrameScaler(FrameScaler&&) noexcept = default;
  FrameScaler& operator=(FrameScaler&&) noexcept = default;
  FrameScaler(const FrameScaler&) = delete;
  FrameScaler& operator=(const FrameScaler&) = delete;

  //! Widths even; `chroma_420` halves the chroma height (target height even then).
  //! Throws std::bad_alloc.
  void Configure(int32_t source_width, int32_t source_height, int32_t target_width, int32_t target_height,
                 bool chroma_420);

  //! Starts a frame: `source` is the YUY2 picture, rows `stride` bytes apart.
  void Begin(const uint8_t* source, int32_t stride, const RowKernels* kernels) noexcept;

  //! Writes the frame's next `count` target rows (even, at most kPassRows): Y into
  //! y[i], U V into uv[i] for count rows, or count / 2 with 4:2:0 chroma.
  void Produce(int32_t count, uint8_t* const* y, uint8_t* const* uv) noexcept;

 private:
  const uint8_t* SourceRow(int32_t row) const noexcept;
  // Filters `count` (1..kStripRows) YUY2 rows across into Y and U V rows.
  void Across(const uint8_t* const* rows, int32_t count, uint8_t* const* y, uint8_t* const* uv) noexcept;
  void ProduceDownFirst(int32_t count, uint8_t* const* y, uint8_t* const* uv) noexcept;
  void ProduceAcrossFirst(int32_t count, uint8_t* const* y, uint8_t* const* uv) noexcept;
  void FillRing() noexcept;
  // Filters ring rows down through `filter`'s entry `row` into `out`.
  void Down(const ScalingFilter& filter, int32_t row, int32_t plane, uint8_t* out) noexcept;
  // Whether down_'s entries `row` and `row` + 1 weigh the same two rows in mirrored
  // order (the smaller weight below 128), so that one pass gives both.
  bool MirroredPair(int32_t row) const noexcept;
  void DownMirrored(int32_t row, int32_t plane, uint8_t* out0, uint8_t* out1) noexcept;
  uint8_t* RingRow(int32_t row, int32_t plane) noexcept;

  int32_t source_pairs_ = 0;
  int32_t source_height_ = 0;
  int32_t target_pairs_ = 0;
  bool chroma_420_ = false;
  bool across_first_ = false;
  ScalingFilter luma_across_;
  ScalingFilter chroma_across_;
  ScalingFilter down_;         // luma rows (and 4:2:2 chroma rows)
  ScalingFilter chroma_down_;  // 4:2:0 chroma rows when filtering across first

  std::vector<uint8_t> between_;   // down first: YUY2 rows filtered down, kStripRows
  std::vector<uint8_t> chroma_;    // down first, 4:2:0: U V rows before averaging
  std::vector<uint8_t> ring_;      // across first: Y and U V rows filtered across
  int32_t ring_rows_ = 0;
  std::vector<uint8_t> spare_;     // where the rows past a partial strip go
  std::vector<uint8_t> transposed_;
  std::vector<const uint8_t*> taps_;

  const uint8_t* source_ = nullptr;
  int32_t stride_ = 0;
  const RowKernels* kernels_ = nullptr;
  int32_t next_row_ = 0;     // next target row
  int32_t next_filled_ = 0;  // next source row to filter across into the ring
};

}  // namespace veltrano::imaging
