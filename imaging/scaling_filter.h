// The resampling filter of one axis: for each target sample, the source samples it
// is made of and their weights. Built once per configuration; read by the row
// kernels on the converting thread.
//
// Weights are integers 0..256 that sum to 256 for every target sample, and a filtered
// sample is (sum of weight x source + 128) >> 8. Enlarging uses bilinear interpolation
// between the two nearest source samples, pixel centres aligned (the target sample i
// sits at (i + 0.5) x source / target - 0.5, clamped to the edge samples). Reducing
// averages the area each target sample covers: source sample k counts with the
// length of [k, k + 1) that falls inside [i, i + 1) x source / target, so a
// reduction by 12 (3840 -> 320) averages 12 samples rather than skipping 11 of them.
// Equal sizes copy.
#pragma once

#include <cstdint>
#include <vector>

namespace veltrano::imaging {

struct ScalingFilter {
  //! Weights per target sample, the same count for all (unused ones are 0).
  int32_t taps = 0;
  //! Target samples in the tables: the target size (horizontal filters: rounded up to
  //! a multiple of 16; the extra entries have start 0 and all weights 0). Every entry
  //! reads source samples start .. start + taps - 1, all inside the source.
  int32_t padded_outputs = 0;
  //! Equal sizes: taps 1, start i, weight 256.
  bool identity = false;
  //! An exact reduction by two: start 2i, weights 128 and 128.
  bool halving = false;
  //! An exact enlargement by 3/2 (source 2u, target 3u): entries 3k, 3k + 1 and 3k + 2
  //! are samples 2k - 1 and 2k weighed 43 and 213, 2k and 2k + 1 weighed 128 each,
  //! and 2k + 1 and 2k + 2 weighed 213 and 43, a missing sample at either edge giving
  //! its weight to its neighbour.
  bool three_halves = false;
  std::vector<int32_t> start;    //!< first source index of each target sample
  std::vector<int16_t> weights;  //!< `taps` weights per target sample
  //! Horizontal filters only: each weight repeated 8 times, for kernels that weigh
  //! the same sample of 8 rows at once.
  std::vector<int16_t> lanes;
};

//! A horizontal filter pads its tables to a multiple of 16 target samples and carries
//! `lanes`; a vertical one has neither.
enum class FilterAxis { kVertical, kHorizontal };

//! Builds the filter from `source_size` to `target_size` samples (both positive).
//! Throws std::bad_alloc when memory runs out.
ScalingFilter BuildScalingFilter(int32_t source_size, int32_t target_size, FilterAxis axis);

}  // namespace veltrano::imaging
