// Placeholder cache: decode once, convert on a format change, grey on any failure,
// and a sticky failure only for a picture that can never be shown.
#include "camera/placeholder_cache.h"

#include <cstring>
#include <new>

#include "camera/placeholder_frame.h"

namespace veltrano::camera {
namespace {

bool SameFormat(const VideoFormat& a, const VideoFormat& b) noexcept {
  return a.format == b.format && a.width == b.width && a.height == b.height;
}

}  // namespace

void PlaceholderCache::FillGrey(BYTE* buffer, uint32_t length, imaging::PixelFormat format) noexcept {
  std::memset(buffer, kGreyByte, length);
  if (format != imaging::PixelFormat::kRgb32) return;
  // RGB32 rows are whole pixels, so pixels start every four bytes from the buffer's start.
  for (uint32_t i = 3; i < length; i += 4) buffer[i] = 0xFF;
}

PlaceholderCache::PlaceholderCache(PlaceholderDecoder decoder) noexcept
    : decoder_(decoder ? decoder : &DecodePlaceholderFrame) {}

uint32_t PlaceholderCache::FrameBytesIfExactly(uint32_t length, const VideoFormat& format) noexcept {
  // Only where the picture fills exactly the bytes a sample holds: a sample that is
  // larger or smaller than one frame gets grey.
  const uint32_t bytes = imaging::FrameBytes(format.format, format.width, format.height);
  return bytes != 0 && bytes == length ? bytes : 0;
}

void PlaceholderCache::Prepare(uint32_t length, const VideoFormat& format) noexcept {
  const uint32_t bytes = FrameBytesIfExactly(length, format);
  if (bytes && !failed_) Build(format, bytes);
}

uint32_t PlaceholderCache::Fill(BYTE* buffer, uint32_t length, const VideoFormat& format) noexcept {
  const uint32_t bytes = FrameBytesIfExactly(length, format);
  if (bytes && !failed_ && Build(format, bytes)) {
    std::memcpy(buffer, frame_.data(), length);
  } else {
    FillGrey(buffer, length, format.format);
  }
  return length;
}

bool PlaceholderCache::Build(const VideoFormat& format, uint32_t bytes) noexcept {
  if (frame_format_.width != 0 && SameFormat(frame_format_, format) && frame_.size() == bytes) return true;
  frame_format_ = VideoFormat{};
  if (!Decode()) return false;
  // The picture keeps its aspect ratio in every format; sizes of another shape get
  // black bars.
  if (!converter_.Configure(kPictureWidth, kPictureHeight, format.format, format.width, format.height)) {
    return false;  // out of memory for the converter's tables: tried again next sample
  }
  try {
    frame_.resize(bytes);
  } catch (const std::bad_alloc&) {
    std::vector<uint8_t>().swap(frame_);
    return false;
  }
  if (!converter_.Convert(picture_.data(), 2 * kPictureWidth, frame_.data())) return false;
  frame_format_ = format;
  return true;
}

bool PlaceholderCache::Decode() noexcept {
  const size_t bytes = static_cast<size_t>(kPictureWidth) * kPictureHeight * 2;
  if (picture_.size() == bytes) return true;
  std::vector<uint8_t>().swap(picture_);
  ++decodes_;
  bool out_of_memory = false;
  const bool decoded = decoder_(kPictureWidth, kPictureHeight, picture_, &out_of_memory);
  if (decoded && picture_.size() == bytes) return true;
  std::vector<uint8_t>().swap(picture_);
  // A shortage of memory passes and the next sample tries again; any other failure
  // means the picture can never be shown at all, so it is never tried again.
  if (decoded || !out_of_memory) failed_ = true;
  return false;
}

}  // namespace veltrano::camera
