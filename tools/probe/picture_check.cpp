#include "tools/probe/picture_check.h"

#include <cstdlib>

namespace veltrano::tools {
namespace {

// The placeholder is a mottled grey (luma about 120 to 123, no colour) with one line
// of white text in the rows around the middle of the picture.
constexpr int kTextFirstRow = 340;
constexpr int kTextLastRow = 390;
constexpr int kBrightLuma = 200;

}  // namespace

PictureKind ClassifyPicture(const uint8_t* yuy2, int width, int height) {
  if (!yuy2 || width <= 0 || height <= 0) return PictureKind::kOther;
  const size_t bytes = static_cast<size_t>(width) * height * 2;
  bool all_grey = true;
  bool colourless = true;
  size_t bright_in_band = 0;
  size_t bright_outside = 0;
  uint64_t background_sum = 0;
  size_t background_count = 0;
  for (size_t i = 0; i < bytes; ++i) {
    const uint8_t value = yuy2[i];
    all_grey = all_grey && value == 0x80;
    if (i % 2) {  // U or V
      colourless = colourless && std::abs(value - 128) <= 3;
      continue;
    }
    const int row = static_cast<int>(i / (static_cast<size_t>(width) * 2));
    const bool in_band = row >= kTextFirstRow && row <= kTextLastRow;
    if (value >= kBrightLuma) {
      (in_band ? bright_in_band : bright_outside) += 1;
    } else if (!in_band) {
      background_sum += value;
      ++background_count;
    }
  }
  if (all_grey) return PictureKind::kFlatGrey;
  if (!colourless || background_count == 0) return PictureKind::kOther;
  const double background = static_cast<double>(background_sum) / static_cast<double>(background_count);
  const bool grey_background = background >= 115.0 && background <= 127.0;
  return grey_background && bright_in_band >= 500 && bright_outside == 0 ? PictureKind::kPlaceholder
                                                                          : PictureKind::kOther;
}

std::string PictureKindName(PictureKind kind) {
  switch (kind) {
    case PictureKind::kPlaceholder:
      return "placeholder";
    case PictureKind::kFlatGrey:
      return "flat grey";
    case PictureKind::kOther:
      break;
  }
  return "other";
}

}  // namespace veltrano::tools
