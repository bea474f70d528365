// The media types an application-like sink pin offers.
#include "camera_fakes.h"

#include <cstring>

#include "camera/capture_mode.h"
#include "framework/media_type_record.h"

namespace veltrano::test {
namespace {

void FillVideoInfo(framework::CMediaTypeRecord* type, const GUID& subtype, DWORD compression, WORD bits, LONG width,
                   LONG height) {
  BYTE* block = type->EnsureFormatBlock(sizeof(VIDEOINFOHEADER));
  std::memset(block, 0, sizeof(VIDEOINFOHEADER));
  auto* info = reinterpret_cast<VIDEOINFOHEADER*>(block);
  info->AvgTimePerFrame = 333333;
  info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info->bmiHeader.biWidth = width;
  info->bmiHeader.biHeight = height;
  info->bmiHeader.biPlanes = 1;
  info->bmiHeader.biBitCount = bits;
  info->bmiHeader.biCompression = compression;
  info->bmiHeader.biSizeImage = static_cast<DWORD>(width * height * bits / 8);
  type->majortype = MEDIATYPE_Video;
  type->subtype = subtype;
  type->formattype = FORMAT_VideoInfo;
  type->lSampleSize = info->bmiHeader.biSizeImage;
}

}  // namespace

void AppSinkPin::OfferTypes(SinkTypes kind) {
  ClearOffers();
  framework::CMediaTypeRecord type;
  switch (kind) {
    case SinkTypes::kNone:
      return;
    case SinkTypes::kPartialVideo:
      type.majortype = MEDIATYPE_Video;  // nothing else: no format block at all
      Offer(type);
      return;
    case SinkTypes::kOthersFirst: {
      FillVideoInfo(&type, MEDIASUBTYPE_RGB24, BI_RGB, 24, 640, 480);
      Offer(type);
      static const GUID kI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
      FillVideoInfo(&type, kI420, 0x30323449, 12, 1280, 720);
      Offer(type);
      framework::CMediaTypeRecord mode;
      camera::BuildModeMediaType(camera::kDefaultCaptureMode, &mode);
      Offer(mode);
      return;
    }
  }
}

}  // namespace veltrano::test
