// PNG output and image input through the Windows Imaging Component. The calling
// thread must have COM initialised. Pixels are 32-bit BGRA, rows of 4 * width bytes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace veltrano::tools {

struct BgraImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width * height * 4 bytes
};

//! Writes `image` as an 8-bit RGBA PNG file at `path` (replacing it).
HRESULT WritePngFile(const std::wstring& path, const BgraImage& image);

//! Decodes frame 0 of any image file that WIC reads (PNG, JPEG, BMP, ...).
HRESULT ReadImageFile(const std::wstring& path, BgraImage* image);

//! Scales `source` to fit `width` x `height` keeping its aspect ratio (WIC Fant
//! scaler) and centres it on black. Returns the scaled size through `fitted_width`
//! and `fitted_height`.
HRESULT FitImage(const BgraImage& source, int width, int height, BgraImage* fitted, int* fitted_width,
                 int* fitted_height);

}  // namespace veltrano::tools
