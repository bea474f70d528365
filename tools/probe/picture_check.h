// Tells what a delivered 1280 x 720 YUY2 frame shows, so that the demo can check the
// placeholder picture itself and not just the absence of host frames: the camera's
// fallback when the picture cannot be used is flat grey, which is no placeholder.
#pragma once

#include <cstdint>
#include <string>

namespace veltrano::tools {

enum class PictureKind { kPlaceholder, kFlatGrey, kOther };

//! Classifies one packed YUY2 frame of `width` x `height` (rows of 2 * width bytes).
PictureKind ClassifyPicture(const uint8_t* yuy2, int width, int height);
std::string PictureKindName(PictureKind kind);

}  // namespace veltrano::tools
