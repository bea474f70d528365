// Letterbox geometry.
#include "imaging/letterbox.h"

#include <algorithm>

namespace veltrano::imaging {
namespace {

// numerator / denominator rounded to the nearest even number, halves up, within
// [2, limit].
int32_t NearestEven(int64_t numerator, int64_t denominator, int32_t limit) noexcept {
  const int64_t even = (numerator + denominator) / (2 * denominator) * 2;
  return static_cast<int32_t>(std::clamp<int64_t>(even, 2, limit));
}

}  // namespace

ContentRect FitContent(int32_t source_width, int32_t source_height, int32_t target_width,
                       int32_t target_height) noexcept {
  if (source_width <= 0 || source_height <= 0 || target_width <= 0 || target_height <= 0 ||
      target_width % 2 || target_height % 2) {
    return {0, 0, 0, 0};
  }
  const int64_t sw = source_width, sh = source_height, tw = target_width, th = target_height;
  ContentRect rect{0, 0, target_width, target_height};
  if (sw * th >= tw * sh) {  // the source is at least as wide: bars above and below
    rect.height = NearestEven(tw * sh, sw, target_height);
    rect.y = (target_height - rect.height) / 4 * 2;
  } else {  // bars left and right
    rect.width = NearestEven(th * sw, sh, target_width);
    rect.x = (target_width - rect.width) / 4 * 2;
  }
  return rect;
}

}  // namespace veltrano::imaging
