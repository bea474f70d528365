// The placeholder frame: the module's PNG resource decoded through the Windows
// Imaging Component and converted to packed YUY2. Both functions are free of
// shared state; DecodePlaceholderFrame needs COM initialised on the calling
// thread (in the camera, the pin's worker thread).
#pragma once

#include <cstdint>
#include <vector>

namespace veltrano::camera {

//! Integer id of the placeholder picture, an RT_RCDATA resource of the module.
inline constexpr int kPlaceholderResourceId = 101;

//! Bytes one YUY2 row of `pixel_count` pixels occupies: pairs rounded up, four
//! bytes each. For an even count that is 2 x count; an odd row needs two more,
//! because its last pixel forms a four-byte group of its own.
constexpr uint64_t Yuy2RowBytes(uint32_t pixel_count) noexcept {
  return (static_cast<uint64_t>(pixel_count) + 1) / 2 * 4;
}

//! Decodes the placeholder picture into `frame` as one YUY2 frame of exactly
//! width x height x 2 bytes. The picture is never scaled: any size other than
//! its own gives false. On false `frame` is left exactly as it was. Never throws;
//! when memory runs out it returns false and sets `*out_of_memory` (when given)
//! to true, so the caller can tell a passing shortage from a picture that can
//! never be shown. Every other outcome leaves `*out_of_memory` false.
bool DecodePlaceholderFrame(uint32_t width, uint32_t height, std::vector<uint8_t>& frame,
                            bool* out_of_memory = nullptr) noexcept;

//! Converts one row of 32-bit BGRA pixels (alpha ignored) to YUY2 with the
//! integer BT.601 studio-range coefficients, writing it at
//! frame + row_index x row_bytes. Each pixel pair becomes Y0, U, Y1, V with U
//! and V the pair's means rounded down; an odd last pixel q gets its own group
//! Y, U, Y, V at byte 2q of the row.
//!
//! Room for the last group: the function writes only whole four-byte groups that
//! lie inside the row's `row_bytes`. A caller converting rows of an odd pixel
//! count must give row_bytes >= Yuy2RowBytes(pixel_count) and a frame of
//! (rows - 1) x row_bytes + Yuy2RowBytes(pixel_count) bytes; with a shorter row
//! the lone last group is left out rather than written into the next row or past
//! the frame. Null pointers write nothing.
void ConvertBgraRowToYuy2(const uint8_t* bgra, uint32_t pixel_count, uint32_t row_index,
                          uint32_t row_bytes, uint8_t* frame) noexcept;

}  // namespace veltrano::camera
