// Placeholder cache: rebuild on a size change, grey on any failure, and a sticky
// failure only for a picture that can never be shown.
#include "camera/placeholder_cache.h"

#include <cstring>

#include "camera/placeholder_frame.h"

namespace veltrano::camera {

PlaceholderCache::PlaceholderCache(PlaceholderDecoder decoder) noexcept
    : decoder_(decoder ? decoder : &DecodePlaceholderFrame) {}

bool PlaceholderCache::Fits(uint32_t length, LONG width, LONG height) noexcept {
  // Only where the picture fills exactly the bytes a sample holds: a sample that is
  // larger or smaller than one frame gets grey.
  return width > 0 && height > 0 && static_cast<int64_t>(width) * height * 2 == static_cast<int64_t>(length);
}

void PlaceholderCache::Prepare(uint32_t length, LONG width, LONG height) noexcept {
  if (Fits(length, width, height) && !failed_) Build(width, height, length);
}

uint32_t PlaceholderCache::Fill(BYTE* buffer, uint32_t length, LONG width, LONG height) noexcept {
  if (Fits(length, width, height) && !failed_ && Build(width, height, length)) {
    std::memcpy(buffer, frame_.data(), length);
  } else {
    std::memset(buffer, kGreyByte, length);
  }
  return length;
}

bool PlaceholderCache::Build(LONG width, LONG height, uint32_t length) noexcept {
  if (width_ == width && height_ == height && frame_.size() == length) return true;
  std::vector<uint8_t>().swap(frame_);
  width_ = 0;
  height_ = 0;
  bool out_of_memory = false;
  const bool decoded =
      decoder_(static_cast<uint32_t>(width), static_cast<uint32_t>(height), frame_, &out_of_memory);
  if (decoded && frame_.size() == length) {
    width_ = width;
    height_ = height;
    return true;
  }
  // A shortage of memory passes and the next sample tries again; any other failure
  // means the picture can never be shown at all, so it is never tried again.
  if (!decoded && out_of_memory) {
    std::vector<uint8_t>().swap(frame_);
    return false;
  }
  failed_ = true;
  std::vector<uint8_t>().swap(frame_);
  return false;
}

}  // namespace veltrano::camera
