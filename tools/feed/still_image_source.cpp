#include "tools/feed/still_image_source.h"

#include <cstring>
#include <new>

#include "tools/common/colour_conversion.h"
#include "tools/common/image_file.h"

namespace veltrano::tools {

std::unique_ptr<StillImageSource> StillImageSource::Open(const std::wstring& path, std::wstring* note,
                                                         std::wstring* error, FrameSize size) {
  BgraImage image;
  HRESULT hr = ReadImageFile(path, &image);
  if (FAILED(hr)) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    *error = L"cannot read the image " + path + L" (" + code + L")";
    return nullptr;
  }
  if (image.width == size.width && image.height == size.height) {
    *note = L"image " + path + L": " + size.text() + L", sent as is";
  } else {
    BgraImage fitted;
    int fitted_width = 0;
    int fitted_height = 0;
    hr = FitImage(image, size.width, size.height, &fitted, &fitted_width, &fitted_height);
    if (FAILED(hr)) {
      *error = L"cannot scale the image " + path;
      return nullptr;
    }
    *note = L"image " + path + L": " + std::to_wstring(image.width) + L"x" + std::to_wstring(image.height) +
            L" scaled to " + std::to_wstring(fitted_width) + L"x" + std::to_wstring(fitted_height) +
            L" and letterboxed into " + size.text();
    image = std::move(fitted);
  }
  std::unique_ptr<StillImageSource> source(new (std::nothrow) StillImageSource());
  if (!source) {
    *error = L"out of memory";
    return nullptr;
  }
  try {
    source->frame_.resize(size.bytes());
  } catch (const std::bad_alloc&) {
    *error = L"out of memory";
    return nullptr;
  }
  ConvertBgraToYuy2(image.pixels.data(), size.width, size.height, size.width * 4, source->frame_.data());
  return source;
}

bool StillImageSource::Render(uint64_t index, uint8_t* frame, std::wstring* error) {
  std::memcpy(frame, frame_.data(), frame_.size());
  return true;
}

}  // namespace veltrano::tools
