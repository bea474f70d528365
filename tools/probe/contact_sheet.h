// Pictures of captured YUY2 frames: a full-size snapshot and a contact sheet of
// several frames shrunk into a grid. Pure functions, main thread.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/common/image_file.h"

namespace veltrano::tools {

//! One packed YUY2 frame (stride 2 * width) as a BGRA picture.
BgraImage Yuy2ToImage(const uint8_t* yuy2, int width, int height);

//! Frames shrunk by `shrink` (box average) and laid out row by row, `columns` per
//! row, on a dark grey sheet with `gap` pixels between them.
BgraImage BuildContactSheet(const std::vector<BgraImage>& frames, int columns, int shrink, int gap);

}  // namespace veltrano::tools
