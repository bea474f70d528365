// Bilinear and area filter tables in integer arithmetic, so that every build gives
// the same weights.
#include "imaging/scaling_filter.h"

#include <algorithm>
#include <cstddef>

namespace veltrano::imaging {
namespace {

struct Taps {
  int32_t first;
  int32_t count;
  int32_t weights[2];  // bilinear only; area weights are recomputed when stored
};

// Bilinear: the sample at ((2i + 1) x source - target) / (2 x target).
Taps BilinearTaps(int64_t i, int64_t source, int64_t target) noexcept {
  if (source == 1) return {0, 1, {256, 0}};
  const int64_t numerator = (2 * i + 1) * source - target;
  const int64_t denominator = 2 * target;
  if (numerator <= 0) return {0, 2, {256, 0}};
  int64_t index = numerator / denominator;
  int64_t fraction = (numerator % denominator * 512 + denominator) / (2 * denominator);
  if (index >= source - 1) {  // at or past the last sample
    index = source - 2;
    fraction = 256;
  }
  const int32_t w1 = static_cast<int32_t>(fraction);
  return {static_cast<int32_t>(index), 2, {256 - w1, w1}};
}

// Area: target sample i covers [i x source, (i + 1) x source) in units of 1 / target
// source samples; source sample k covers [k x target, (k + 1) x target).
Taps AreaSpan(int64_t i, int64_t source, int64_t target) noexcept {
  const int64_t first = i * source / target;
  const int64_t last = ((i + 1) * source - 1) / target;
  return {static_cast<int32_t>(first), static_cast<int32_t>(last - first + 1), {0, 0}};
}

// Weight of source sample k in target sample i: the covered length mapped to 0..256,
// through a rounded running sum so that the weights of one sample add up to 256.
int32_t AreaWeight(int64_t i, int64_t k, int64_t source, int64_t target) noexcept {
  const int64_t begin = i * source;
  const int64_t low = std::max(k * target, begin) - begin;
  const int64_t high = std::min((k + 1) * target, begin + source) - begin;
  auto cumulative = [source](int64_t length) { return (length * 512 + source) / (2 * source); };
  return static_cast<int32_t>(cumulative(high) - cumulative(low));
}

// Whether `filter` (source 2u -> target 3u) holds exactly the repeating pattern that
// ScalingFilter::three_halves describes, entries as (start, weight of the first
// sample). Checked on the built tables, so that kernels relying on the pattern can
// never disagree with them.
bool FollowsThreeHalves(const ScalingFilter& filter, int64_t source, int64_t target) noexcept {
  if (filter.taps != 2 || source < 2 || 2 * target != 3 * source) return false;
  const int64_t last = source - 1;
  for (int64_t i = 0; i < target; ++i) {
    const int64_t k = i / 3;
    int64_t first = 0, weight = 128;
    switch (i % 3) {
      case 0: first = 2 * k - 1, weight = 43; break;
      case 1: first = 2 * k, weight = 128; break;
      case 2: first = 2 * k + 1, weight = 213; break;
    }
    // At the edges the table keeps the window inside the source and weighs one sample.
    if (first < 0) first = 0, weight = 256;
    if (first + 1 > last) first = last - 1, weight = 0;
    if (filter.start[i] != first || filter.weights[2 * i] != weight) return false;
  }
  return true;
}

}  // namespace

ScalingFilter BuildScalingFilter(int32_t source_size, int32_t target_size, FilterAxis axis) {
  const bool horizontal = axis == FilterAxis::kHorizontal;
  const int32_t output_multiple = horizontal ? 16 : 1;
  ScalingFilter filter;
  const int64_t source = source_size, target = target_size;
  filter.identity = source == target;
  filter.halving = source == 2 * target;
  const bool enlarge = target > source;

  int32_t taps = 1;
  if (enlarge) {
    taps = source == 1 ? 1 : 2;
  } else if (!filter.identity) {
    for (int64_t i = 0; i < target; ++i) taps = std::max(taps, AreaSpan(i, source, target).count);
  }
  filter.taps = taps;
  filter.padded_outputs = (target_size + output_multiple - 1) / output_multiple * output_multiple;
  filter.start.assign(filter.padded_outputs, 0);
  filter.weights.assign(static_cast<size_t>(filter.padded_outputs) * taps, 0);

  for (int64_t i = 0; i < target; ++i) {
    Taps t = filter.identity ? Taps{static_cast<int32_t>(i), 1, {256, 0}}
             : enlarge       ? BilinearTaps(i, source, target)
                             : AreaSpan(i, source, target);
    // Keep the whole window inside the source, the weights shifted (a window of fewer
    // taps than the widest one may sit at the source's end).
    const int32_t start = std::min(t.first, source_size - taps);
    int16_t* weights = &filter.weights[static_cast<size_t>(i) * taps];
    for (int32_t k = 0; k < t.count; ++k) {
      const int32_t weight = enlarge || filter.identity ? t.weights[k] : AreaWeight(i, t.first + k, source, target);
      weights[t.first - start + k] = static_cast<int16_t>(weight);
    }
    filter.start[i] = start;
  }
  filter.three_halves = FollowsThreeHalves(filter, source, target);
  if (horizontal) {
    filter.lanes.resize(filter.weights.size() * 8);
    for (size_t i = 0; i < filter.weights.size(); ++i) {
      std::fill_n(filter.lanes.begin() + static_cast<ptrdiff_t>(8 * i), 8, filter.weights[i]);
    }
  }
  return filter;
}

}  // namespace veltrano::imaging
