// The capture modes the camera offers and the media type that stands for each:
// uncompressed YUY2 in a VIDEOINFOHEADER. Pure functions, any thread.
#pragma once

#include <dshow.h>

#include <cstdint>

#include "framework/media_type_record.h"

namespace veltrano::camera {

//! One offered format: image size and time per frame (100 ns units).
struct CaptureMode {
  int32_t width;
  int32_t height;
  int64_t frame_interval;
};

//! The camera's one mode: 1280 x 720 at 30 frames per second.
inline constexpr CaptureMode kDefaultCaptureMode = {1280, 720, 333333};

//! "YUY2" as a FOURCC, the biCompression of every offered type.
inline constexpr DWORD kYuy2FourCc = 0x32595559;

//! Size of VIDEO_STREAM_CONFIG_CAPS as GetNumberOfCapabilities reports it.
inline constexpr int kStreamCapsSize = 128;

//! Writes the mode media type of `mode` into `type`, whose pUnk is left alone.
//! E_OUTOFMEMORY when the 88-byte format block cannot be had (other fields untouched).
HRESULT BuildModeMediaType(const CaptureMode& mode, framework::CMediaTypeRecord* type) noexcept;

//! The format block of `type` as a VIDEOINFOHEADER, or null when the type carries
//! none that is at least a full VIDEOINFOHEADER long. Never reads past cbFormat.
const VIDEOINFOHEADER* VideoInfoOf(const AM_MEDIA_TYPE& type) noexcept;

//! Fills the first 128 bytes of `caps` as the VIDEO_STREAM_CONFIG_CAPS of `mode`.
void FillStreamCaps(const CaptureMode& mode, BYTE* caps) noexcept;

}  // namespace veltrano::camera
