#include "tools/probe/picture_check.h"

#include <algorithm>
#include <cstdlib>

namespace veltrano::tools {
namespace {

// The placeholder is a mottled grey (luma about 120 to 123, no colour) with one line
// of white text in the rows around the middle of its 1280 x 720 picture.
constexpr int kPictureWidth = 1280;
constexpr int kPictureHeight = 720;
constexpr int kTextFirstRow = 340;
constexpr int kTextLastRow = 390;
constexpr int kBrightLuma = 200;
constexpr double kBrightInBandAtFullSize = 500.0;

bool IsFlatGrey(const FrameView& picture) {
  const size_t bytes = FrameBytes(picture.layout());
  return std::all_of(picture.data(), picture.data() + bytes, [](uint8_t value) { return value == 0x80; });
}

}  // namespace

PictureKind ClassifyPicture(const FrameView& picture) {
  if (!picture.valid()) return PictureKind::kOther;
  if (IsFlatGrey(picture)) return PictureKind::kFlatGrey;
  const int width = picture.layout().width;
  const int height = picture.layout().height;
  // Only the 16:9 picture counts, not the black bars around it. A camera that rounds
  // the bars a row differently shifts the grey's mean by a fraction of a level.
  const PictureRect area = FitRect(kPictureWidth, kPictureHeight, width, height);
  if (area.width <= 0 || area.height <= 0) return PictureKind::kOther;
  bool colourless = true;
  size_t bright_in_band = 0;
  size_t bright_outside = 0;
  uint64_t background_sum = 0;
  size_t background_count = 0;
  for (int y = area.top; y < area.top + area.height; ++y) {
    const int picture_row = static_cast<int>(static_cast<int64_t>(y - area.top) * kPictureHeight / area.height);
    const bool in_band = picture_row >= kTextFirstRow && picture_row <= kTextLastRow;
    for (int x = area.left; x < area.left + area.width; ++x) {
      const Yuv pixel = picture.PixelYuv(x, y);
      colourless = colourless && std::abs(pixel.u - 128) <= 3 && std::abs(pixel.v - 128) <= 3;
      if (pixel.y >= kBrightLuma) {
        (in_band ? bright_in_band : bright_outside) += 1;
      } else if (!in_band) {
        background_sum += pixel.y;
        ++background_count;
      }
    }
  }
  if (!colourless || background_count == 0) return PictureKind::kOther;
  const double background = static_cast<double>(background_sum) / static_cast<double>(background_count);
  const bool grey_background = background >= 115.0 && background <= 127.0;
  // The text's bright pixels shrink with the picture's area.
  const double scale = static_cast<double>(area.width) * area.height / (kPictureWidth * kPictureHeight);
  const double enough_text = std::max(1.0, kBrightInBandAtFullSize * scale);
  return grey_background && static_cast<double>(bright_in_band) >= enough_text && bright_outside == 0
             ? PictureKind::kPlaceholder
             : PictureKind::kOther;
}

PictureKind ClassifyPicture(const uint8_t* yuy2, int width, int height) {
  const FrameLayout layout{VideoSubtype::kYuy2, width, height, false};
  return ClassifyPicture(FrameView(layout, yuy2, FrameBytes(layout)));
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
