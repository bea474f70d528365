// Mode media type, format block access and stream capabilities of a capture mode.
#include "camera/capture_mode.h"

#include <cstring>

namespace veltrano::camera {

HRESULT BuildModeMediaType(const CaptureMode& mode, framework::CMediaTypeRecord* type) noexcept {
  BYTE* block = type->EnsureFormatBlock(sizeof(VIDEOINFOHEADER));
  if (!block) return E_OUTOFMEMORY;
  std::memset(block, 0, sizeof(VIDEOINFOHEADER));
  auto* info = reinterpret_cast<VIDEOINFOHEADER*>(block);
  info->AvgTimePerFrame = mode.frame_interval;
  BITMAPINFOHEADER& bitmap = info->bmiHeader;
  bitmap.biSize = sizeof(BITMAPINFOHEADER);
  bitmap.biWidth = mode.width;
  bitmap.biHeight = mode.height;
  bitmap.biPlanes = 1;
  bitmap.biBitCount = 16;
  bitmap.biCompression = kYuy2FourCc;
  // A 32-bit product, as the header field is.
  bitmap.biSizeImage = static_cast<DWORD>(static_cast<uint32_t>(mode.width) * static_cast<uint32_t>(mode.height) * 2u);

  type->majortype = MEDIATYPE_Video;
  type->subtype = MEDIASUBTYPE_YUY2;
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
  record.CropGranularityX = mode.width;
  record.CropGranularityY = mode.height;
  record.MinOutputSize = size;
  record.MaxOutputSize = size;
  record.MinFrameInterval = mode.frame_interval;
  record.MaxFrameInterval = mode.frame_interval;
  // Frames per second by 64-bit integer division, then a 32-bit product: 442,368,000
  // for 1280 x 720 at 333333.
  const int64_t rate = mode.frame_interval > 0 ? 10000000LL / mode.frame_interval : 0;
  const uint32_t bits = static_cast<uint32_t>(rate) * static_cast<uint32_t>(mode.height) *
                        static_cast<uint32_t>(mode.width) * 16u;
  record.MinBitsPerSecond = static_cast<LONG>(bits);
  record.MaxBitsPerSecond = static_cast<LONG>(bits);
  std::memcpy(caps, &record, sizeof(record));
}

}  // namespace veltrano::camera
