// The mode list, the media type of a mode, what a client's type asks for, and the
// stream capabilities of a mode.
#include "camera/capture_mode.h"

#include <cstring>
#include <iterator>

#include "platform/media_guids.h"

namespace veltrano::camera {
namespace {

using imaging::PixelFormat;

constexpr DWORD FourCc(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<uint8_t>(a)) | static_cast<DWORD>(static_cast<uint8_t>(b)) << 8 |
         static_cast<DWORD>(static_cast<uint8_t>(c)) << 16 | static_cast<DWORD>(static_cast<uint8_t>(d)) << 24;
}

const SubtypeInfo kSubtypes[] = {
    {PixelFormat::kYuy2, &MEDIASUBTYPE_YUY2, FourCc('Y', 'U', 'Y', '2'), 16},
    {PixelFormat::kNv12, &MEDIASUBTYPE_NV12, FourCc('N', 'V', '1', '2'), 12},
    {PixelFormat::kI420, &platform::kMediaSubtypeI420, FourCc('I', '4', '2', '0'), 12},
    {PixelFormat::kRgb24, &MEDIASUBTYPE_RGB24, BI_RGB, 24},
    {PixelFormat::kRgb32, &MEDIASUBTYPE_RGB32, BI_RGB, 32},
};

struct Size {
  int32_t width;
  int32_t height;
};
// The default size first in every pixel format: a peer that fixes only the subtype
// (a sample grabber set to RGB24, a renderer that takes only RGB32) takes the first
// type of that subtype it is offered, and so connects at 1280 x 720 as it always did.
constexpr Size kSizes[] = {{1280, 720}, {1920, 1080}, {960, 540}, {640, 480}, {640, 360}, {320, 240}};

// Every offered mode at 30 fps has a bit rate a LONG holds: the largest size at the
// deepest pixel (RGB32) is 1,990,656,000 bits per second.
constexpr bool BitRatesFitALong() {
  for (const Size& size : kSizes) {
    if (10000000 / kDefaultFrameInterval * size.width * size.height * 32 > 0x7FFFFFFF) return false;
  }
  return true;
}
static_assert(BitRatesFitALong());

bool SameMode(const CaptureMode& a, const CaptureMode& b) {
  return a.width == b.width && a.height == b.height && a.format == b.format;
}

}  // namespace

std::vector<CaptureMode> OfferedCaptureModes() {
  std::vector<CaptureMode> modes;
  modes.reserve(std::size(kSubtypes) * std::size(kSizes));
  modes.push_back(kDefaultCaptureMode);
  for (const SubtypeInfo& subtype : kSubtypes) {
    for (const Size& size : kSizes) {
      const CaptureMode mode = {size.width, size.height, subtype.format, kDefaultFrameInterval};
      if (!SameMode(mode, kDefaultCaptureMode)) modes.push_back(mode);
    }
  }
  return modes;
}

const SubtypeInfo& SubtypeOf(PixelFormat format) noexcept {
  for (const SubtypeInfo& info : kSubtypes) {
    if (info.format == format) return info;
  }
  return kSubtypes[0];
}

const SubtypeInfo* FindSubtype(const GUID& subtype) noexcept {
  for (const SubtypeInfo& info : kSubtypes) {
    if (IsEqualGUID(*info.subtype, subtype)) return &info;
  }
  return nullptr;
}

HRESULT BuildModeMediaType(const CaptureMode& mode, framework::CMediaTypeRecord* type) noexcept {
  BYTE* block = type->EnsureFormatBlock(sizeof(VIDEOINFOHEADER));
  if (!block) return E_OUTOFMEMORY;
  std::memset(block, 0, sizeof(VIDEOINFOHEADER));
  const SubtypeInfo& subtype = SubtypeOf(mode.format);
  auto* info = reinterpret_cast<VIDEOINFOHEADER*>(block);
  info->AvgTimePerFrame = mode.frame_interval;
  BITMAPINFOHEADER& bitmap = info->bmiHeader;
  bitmap.biSize = sizeof(BITMAPINFOHEADER);
  bitmap.biWidth = mode.width;
  // Positive: YUV frames are top-down whatever the sign, RGB frames bottom-up as a
  // positive height says.
  bitmap.biHeight = mode.height;
  bitmap.biPlanes = 1;
  bitmap.biBitCount = subtype.bit_count;
  bitmap.biCompression = subtype.compression;
  bitmap.biSizeImage = imaging::FrameBytes(mode.format, mode.width, mode.height);

  type->majortype = MEDIATYPE_Video;
  type->subtype = *subtype.subtype;
  type->bTemporalCompression = FALSE;
  type->formattype = FORMAT_VideoInfo;
  type->bFixedSizeSamples = TRUE;
  type->lSampleSize = bitmap.biSizeImage;
  return S_OK;
}

const VIDEOINFOHEADER* VideoInfoOf(const AM_MEDIA_TYPE& type) noexcept {
  if (!type.pbFormat || type.cbFormat < sizeof(VIDEOINFOHEADER)) return nullptr;
  return reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
}

bool ReadVideoFormat(const AM_MEDIA_TYPE& type, VideoFormat* format) noexcept {
  const VIDEOINFOHEADER* info = VideoInfoOf(type);
  const SubtypeInfo* subtype = FindSubtype(type.subtype);
  if (!info || !subtype) return false;
  format->format = subtype->format;
  format->width = info->bmiHeader.biWidth;
  format->height = info->bmiHeader.biHeight;
  format->image_size = static_cast<int32_t>(info->bmiHeader.biSizeImage);
  format->frame_interval = info->AvgTimePerFrame;
  return true;
}

bool MatchOfferedMode(const AM_MEDIA_TYPE* type, const std::vector<CaptureMode>& modes,
                      CaptureMode* matched) noexcept {
  if (!type || !IsEqualGUID(type->majortype, MEDIATYPE_Video)) return false;
  const SubtypeInfo* subtype = FindSubtype(type->subtype);
  if (!subtype || !IsEqualGUID(type->formattype, FORMAT_VideoInfo)) return false;
  // A missing block and one shorter than a VIDEOINFOHEADER alike: nothing past
  // cbFormat is ever read, and no later reader meets a short block.
  const VIDEOINFOHEADER* info = VideoInfoOf(*type);
  if (!info) return false;
  const BITMAPINFOHEADER& bitmap = info->bmiHeader;
  // Real devices take a type with only the size filled in, and so do we.
  if (bitmap.biBitCount != 0 && bitmap.biBitCount != subtype->bit_count) return false;
  if (bitmap.biCompression != 0 && bitmap.biCompression != subtype->compression) return false;
  REFERENCE_TIME interval = info->AvgTimePerFrame;
  if (interval == 0) interval = kDefaultFrameInterval;
  if (interval < kMinFrameInterval || interval > kMaxFrameInterval) return false;
  for (const CaptureMode& mode : modes) {
    if (mode.format == subtype->format && mode.width == bitmap.biWidth && mode.height == bitmap.biHeight) {
      if (matched) *matched = CaptureMode{mode.width, mode.height, mode.format, interval};
      return true;
    }
  }
  return false;
}

HRESULT CompleteModeMediaType(const AM_MEDIA_TYPE& type, const CaptureMode& mode,
                              framework::CMediaTypeRecord* completed) noexcept {
  if (FAILED(completed->Assign(&type))) {
    completed->ResetToDefault();
    return E_OUTOFMEMORY;
  }
  // Assign copied the block whole; MatchOfferedMode made sure it holds a full header.
  auto* info = reinterpret_cast<VIDEOINFOHEADER*>(completed->pbFormat);
  const SubtypeInfo& subtype = SubtypeOf(mode.format);
  info->AvgTimePerFrame = mode.frame_interval;
  // The header is a plain BITMAPINFOHEADER of one plane, whatever the client left there.
  info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info->bmiHeader.biPlanes = 1;
  info->bmiHeader.biBitCount = subtype.bit_count;
  info->bmiHeader.biCompression = subtype.compression;
  // The image size is the mode's whatever the client said: samples are filled to it.
  info->bmiHeader.biSizeImage = imaging::FrameBytes(mode.format, mode.width, mode.height);
  completed->bFixedSizeSamples = TRUE;
  completed->bTemporalCompression = FALSE;
  completed->lSampleSize = info->bmiHeader.biSizeImage;
  return S_OK;
}

void FillStreamCaps(const CaptureMode& mode, BYTE* caps) noexcept {
  static_assert(sizeof(VIDEO_STREAM_CONFIG_CAPS) == kStreamCapsSize);
  std::memset(caps, 0, kStreamCapsSize);
  VIDEO_STREAM_CONFIG_CAPS record = {};
  const SIZE size = {mode.width, mode.height};
  record.guid = FORMAT_VideoInfo;
  record.VideoStandard = 0;
  record.InputSize = size;
  record.MinCroppingSize = size;
  record.MaxCroppingSize = size;
  // A fixed size: granularities that step from the size to itself.
  record.CropGranularityX = mode.width;
  record.CropGranularityY = mode.height;
  record.MinOutputSize = size;
  record.MaxOutputSize = size;
  record.MinFrameInterval = kMinFrameInterval;
  record.MaxFrameInterval = kMaxFrameInterval;
  // Both bit rates at the mode's own interval, computed as the camera always has
  // (whole frames per second, then 32-bit arithmetic), so that the first mode's
  // record differs from before only in its frame-interval range.
  const uint32_t frames_per_second =
      mode.frame_interval > 0 ? static_cast<uint32_t>(10000000LL / mode.frame_interval) : 0;
  const uint32_t bits = frames_per_second * static_cast<uint32_t>(mode.height) *
                        static_cast<uint32_t>(mode.width) * SubtypeOf(mode.format).bit_count;
  record.MinBitsPerSecond = static_cast<LONG>(bits);
  record.MaxBitsPerSecond = static_cast<LONG>(bits);
  std::memcpy(caps, &record, sizeof(record));
}

}  // namespace veltrano::camera
