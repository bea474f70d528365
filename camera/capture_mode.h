// The capture modes the camera offers and the media type that stands for each:
// uncompressed video (YUY2, NV12, I420, RGB24 or RGB32) in a VIDEOINFOHEADER, at any
// frame interval from 60 down to 1 frame per second. Pure functions, any thread.
#pragma once

#include <dshow.h>

#include <cstdint>
#include <vector>

#include "framework/media_type_record.h"
#include "imaging/pixel_format.h"

namespace veltrano::camera {

//! One offered format: image size, pixel format and time per frame (100 ns units).
struct CaptureMode {
  int32_t width;
  int32_t height;
  imaging::PixelFormat format;
  int64_t frame_interval;
};

//! Frame intervals a mode may run at: 60 frames per second down to 1, 30 by default.
//! 60 fps is 166666, 10,000,000 / 60 rounded down: clients compute it so (ffmpeg
//! passes over a capability whose fastest interval is above what it asks for), and
//! hardware cameras report it so.
inline constexpr REFERENCE_TIME kMinFrameInterval = 166666;
inline constexpr REFERENCE_TIME kMaxFrameInterval = 10000000;
inline constexpr REFERENCE_TIME kDefaultFrameInterval = 333333;

//! The camera's first mode, and its format until a client chooses another.
inline constexpr CaptureMode kDefaultCaptureMode = {1280, 720, imaging::PixelFormat::kYuy2, kDefaultFrameInterval};

//! The frame intervals of the frame-rate list: 60, 30, 25, 20, 15, 10 and 5 fps.
inline constexpr LONGLONG kFrameRateList[] = {kMinFrameInterval, 333333, 400000, 500000, 666667, 1000000, 2000000};

//! Size of VIDEO_STREAM_CONFIG_CAPS as GetNumberOfCapabilities reports it.
inline constexpr int kStreamCapsSize = 128;

//! The offered modes in the order applications see them: every size in every pixel
//! format, YUY2 first, and in each format 1280 x 720 before the others (so the
//! default, YUY2 1280 x 720, is the first of all).
std::vector<CaptureMode> OfferedCaptureModes();

//! The media subtype, biCompression and biBitCount of each pixel format.
struct SubtypeInfo {
  imaging::PixelFormat format;
  const GUID* subtype;
  DWORD compression;  // a FOURCC, or BI_RGB
  WORD bit_count;
};
const SubtypeInfo& SubtypeOf(imaging::PixelFormat format) noexcept;
//! Null for a subtype the camera does not offer.
const SubtypeInfo* FindSubtype(const GUID& subtype) noexcept;

//! Writes the mode media type of `mode` into `type`, whose pUnk is left alone.
//! E_OUTOFMEMORY when the 88-byte format block cannot be had (other fields untouched).
HRESULT BuildModeMediaType(const CaptureMode& mode, framework::CMediaTypeRecord* type) noexcept;

//! The format block of `type` as a VIDEOINFOHEADER, or null when the type carries
//! none that is at least a full VIDEOINFOHEADER long. Never reads past cbFormat.
const VIDEOINFOHEADER* VideoInfoOf(const AM_MEDIA_TYPE& type) noexcept;

//! Whether `type` asks for one of `modes`: video of an offered subtype in a
//! FORMAT_VideoInfo block, a listed size with a positive height, biBitCount and
//! biCompression either the subtype's or 0 (left for the camera to fill in), and an
//! AvgTimePerFrame of 0 (the default) or within the offered range. On true `matched`
//! (optional) receives the mode at the asked frame interval.
bool MatchOfferedMode(const AM_MEDIA_TYPE* type, const std::vector<CaptureMode>& modes,
                      CaptureMode* matched) noexcept;

//! A deep copy of `type` (which MatchOfferedMode accepted as `mode`) with what a
//! client may leave out filled in from the mode: biSize, biPlanes, biBitCount,
//! biCompression, biSizeImage, lSampleSize, fixed-size samples and the frame interval.
//! E_OUTOFMEMORY leaves `completed` in its default state.
HRESULT CompleteModeMediaType(const AM_MEDIA_TYPE& type, const CaptureMode& mode,
                              framework::CMediaTypeRecord* completed) noexcept;

//! What frame delivery needs of the current media type.
struct VideoFormat {
  imaging::PixelFormat format = imaging::PixelFormat::kYuy2;
  int32_t width = 0;
  int32_t height = 0;
  int32_t image_size = 0;  // biSizeImage, read as a signed value
  REFERENCE_TIME frame_interval = 0;
};

//! Reads `type` (a media type the pin accepted) as a VideoFormat; false when it has
//! no full VIDEOINFOHEADER or a subtype the camera does not offer.
bool ReadVideoFormat(const AM_MEDIA_TYPE& type, VideoFormat* format) noexcept;

//! Fills the first 128 bytes of `caps` as the VIDEO_STREAM_CONFIG_CAPS of `mode`.
void FillStreamCaps(const CaptureMode& mode, BYTE* caps) noexcept;

}  // namespace veltrano::camera
