// The fallback picture of one camera pin: the placeholder picture, decoded once and
// converted once per format (size and pixel format) into a cache that samples are
// copied from, or flat grey where it cannot be used. Not thread-safe: the pin calls
// it from its worker under the delivery lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "camera/capture_mode.h"
#include "imaging/frame_converter.h"

namespace veltrano::camera {

//! Builds the placeholder frame at a size (DecodePlaceholderFrame's contract).
using PlaceholderDecoder = bool (*)(uint32_t width, uint32_t height, std::vector<uint8_t>& frame,
                                    bool* out_of_memory) noexcept;

class PlaceholderCache {
 public:
  //! Mid-grey in every offered format: Y = U = V = 128, or R = G = B = 128.
  static constexpr BYTE kGreyByte = 0x80;
  //! Writes `length` bytes of mid-grey in `format`: kGreyByte throughout, except the
  //! fourth byte of each RGB32 pixel, which is opaque (0xFF) as in converted frames.
  static void FillGrey(BYTE* buffer, uint32_t length, imaging::PixelFormat format) noexcept;
  //! The size the picture is decoded at, its own.
  static constexpr int32_t kPictureWidth = 1280;
  static constexpr int32_t kPictureHeight = 720;

  //! `decoder` defaults to the module's placeholder picture.
  explicit PlaceholderCache(PlaceholderDecoder decoder = nullptr) noexcept;
  PlaceholderCache(const PlaceholderCache&) = delete;
  PlaceholderCache& operator=(const PlaceholderCache&) = delete;

  //! Writes exactly `length` bytes to `buffer`: the placeholder in `format` when one
  //! frame of that format is exactly `length` bytes and the picture can be had, else
  //! grey. Returns `length`.
  uint32_t Fill(BYTE* buffer, uint32_t length, const VideoFormat& format) noexcept;

  //! Builds the picture for `format` ahead of the first sample that needs it (only
  //! where it would fit a sample of `length` bytes).
  void Prepare(uint32_t length, const VideoFormat& format) noexcept;

  //! Sticky: the picture cannot be shown (decoding failed other than for memory).
  bool failed() const noexcept { return failed_; }
  //! Bytes of the converted frame held for the current format.
  size_t cached_bytes() const noexcept { return frame_.size(); }
  //! Times the picture was decoded (once, unless memory ran short).
  uint32_t decodes() const noexcept { return decodes_; }

 private:
  //! Bytes of one frame of `format` when that is exactly `length`, else 0.
  static uint32_t FrameBytesIfExactly(uint32_t length, const VideoFormat& format) noexcept;
  //! Makes the cache hold the frame for `format` (`bytes` long); false when it cannot.
  bool Build(const VideoFormat& format, uint32_t bytes) noexcept;
  //! Decodes the picture once; false when it cannot be had (now or ever).
  bool Decode() noexcept;

  PlaceholderDecoder decoder_;
  std::vector<uint8_t> picture_;  // the decoded picture, YUY2 at its own size
  std::vector<uint8_t> frame_;    // the picture converted to frame_format_
  VideoFormat frame_format_;      // width 0 while frame_ holds nothing
  imaging::FrameConverter converter_;
  uint32_t decodes_ = 0;
  bool failed_ = false;
};

}  // namespace veltrano::camera
