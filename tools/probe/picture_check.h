// Tells what a delivered frame shows, so that the demo can check the placeholder
// picture itself and not just the absence of host frames: the camera's fallback when
// the picture cannot be used is flat grey, which is no placeholder. Frames of any
// subtype and size; the 16:9 picture is looked for where the camera letterboxes it.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/frame_decoder.h"

namespace veltrano::tools {

enum class PictureKind { kPlaceholder, kFlatGrey, kOther };

//! Classifies one frame: flat grey when every byte is 0x80 (the camera's grey in every
//! subtype), the placeholder when the 16:9 picture is colourless mid-grey with bright
//! text only in the rows of its text line.
PictureKind ClassifyPicture(const FrameView& picture);
//! The same for one packed YUY2 frame of `width` x `height` (rows of 2 * width bytes).
PictureKind ClassifyPicture(const uint8_t* yuy2, int width, int height);
std::string PictureKindName(PictureKind kind);

}  // namespace veltrano::tools
