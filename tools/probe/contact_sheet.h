// A contact sheet of several captured frames (decoded to BGRA) shrunk into a grid.
// Pure function, main thread.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/common/image_file.h"

namespace veltrano::tools {

//! Frames shrunk by `shrink` (box average) and laid out row by row, `columns` per
//! row, on a dark grey sheet with `gap` pixels between them.
BgraImage BuildContactSheet(const std::vector<BgraImage>& frames, int columns, int shrink, int gap);

}  // namespace veltrano::tools
