#include "tools/probe/contact_sheet.h"

namespace veltrano::tools {

BgraImage BuildContactSheet(const std::vector<BgraImage>& frames, int columns, int shrink, int gap) {
  BgraImage sheet;
  if (frames.empty() || columns <= 0 || shrink <= 0) return sheet;
  const int cell_width = frames.front().width / shrink;
  const int cell_height = frames.front().height / shrink;
  const int count = static_cast<int>(frames.size());
  const int rows = (count + columns - 1) / columns;
  const int used_columns = count < columns ? count : columns;
  sheet.width = used_columns * cell_width + (used_columns + 1) * gap;
  sheet.height = rows * cell_height + (rows + 1) * gap;
  sheet.pixels.assign(static_cast<size_t>(sheet.width) * sheet.height * 4, 0);
  for (size_t i = 0; i < sheet.pixels.size(); i += 4) {
    sheet.pixels[i] = sheet.pixels[i + 1] = sheet.pixels[i + 2] = 40;
    sheet.pixels[i + 3] = 255;
  }
  for (int index = 0; index < count; ++index) {
    const BgraImage& frame = frames[index];
    if (frame.width / shrink != cell_width || frame.height / shrink != cell_height) continue;
    const int left = gap + (index % columns) * (cell_width + gap);
    const int top = gap + (index / columns) * (cell_height + gap);
    for (int y = 0; y < cell_height; ++y) {
      for (int x = 0; x < cell_width; ++x) {
        unsigned sum[3] = {0, 0, 0};
        for (int dy = 0; dy < shrink; ++dy) {
          const uint8_t* source =
              frame.pixels.data() + (static_cast<size_t>(y * shrink + dy) * frame.width + x * shrink) * 4;
          for (int dx = 0; dx < shrink; ++dx) {
            for (int c = 0; c < 3; ++c) sum[c] += source[dx * 4 + c];
          }
        }
        uint8_t* target = sheet.pixels.data() + (static_cast<size_t>(top + y) * sheet.width + left + x) * 4;
        const unsigned area = static_cast<unsigned>(shrink * shrink);
        for (int c = 0; c < 3; ++c) target[c] = static_cast<uint8_t>((sum[c] + area / 2) / area);
      }
    }
  }
  return sheet;
}

}  // namespace veltrano::tools
