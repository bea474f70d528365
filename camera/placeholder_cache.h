// The fallback picture of one camera pin: the placeholder frame, built once per size
// and then copied from a cache, or flat grey where it cannot be used. Not
// thread-safe: the pin calls it from its worker under the delivery lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace veltrano::camera {

//! Builds the placeholder frame at a size (DecodePlaceholderFrame's contract).
using PlaceholderDecoder = bool (*)(uint32_t width, uint32_t height, std::vector<uint8_t>& frame,
                                    bool* out_of_memory) noexcept;

class PlaceholderCache {
 public:
  //! Mid-grey in YUY2: Y = U = V = 128.
  static constexpr BYTE kGreyByte = 0x80;

  //! `decoder` defaults to the module's placeholder picture.
  explicit PlaceholderCache(PlaceholderDecoder decoder = nullptr) noexcept;
  PlaceholderCache(const PlaceholderCache&) = delete;
  PlaceholderCache& operator=(const PlaceholderCache&) = delete;

  //! Writes exactly `length` bytes to `buffer`: the placeholder when a width x height
  //! YUY2 frame is exactly `length` bytes and the picture can be had at that size,
  //! else grey. Returns `length`.
  uint32_t Fill(BYTE* buffer, uint32_t length, LONG width, LONG height) noexcept;

  //! Builds the picture for width x height ahead of the first sample that needs it
  //! (only where it would fit a sample of `length` bytes).
  void Prepare(uint32_t length, LONG width, LONG height) noexcept;

  //! Sticky: the picture cannot be shown (decoding failed other than for memory).
  bool failed() const noexcept { return failed_; }
  size_t cached_bytes() const noexcept { return frame_.size(); }

 private:
  //! Whether a width x height YUY2 frame is exactly `length` bytes.
  static bool Fits(uint32_t length, LONG width, LONG height) noexcept;
  //! Makes the cache hold the frame for width x height; false when it cannot.
  bool Build(LONG width, LONG height, uint32_t length) noexcept;

  PlaceholderDecoder decoder_;
  std::vector<uint8_t> frame_;
  LONG width_ = 0;   // the size the cache was built for; 0 x 0 when empty
  LONG height_ = 0;
  bool failed_ = false;
};

}  // namespace veltrano::camera
