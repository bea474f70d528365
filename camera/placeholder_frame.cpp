// Placeholder decoding (resource -> WIC -> BGRA) and the BGRA-to-YUY2 row conversion.
#include "camera/placeholder_frame.h"

#include <windows.h>
#include <wincodec.h>

#include <climits>
#include <new>

#include "platform/com_ptr.h"
#include "platform/module_instance.h"

namespace veltrano::camera {
namespace {

using platform::ComPtr;

// Division by 256 rounded toward minus infinity, the arithmetic shift the
// coefficients are defined with, spelled out so it does not depend on how a
// compiler shifts negative numbers.
constexpr int FloorDiv256(int value) noexcept {
  return value >= 0 ? value / 256 : -((-value + 255) / 256);
}

constexpr int Limit(int value) noexcept { return value < 0 ? 0 : (value > 255 ? 255 : value); }

struct Yuv {
  int y;
  int u;
  int v;
};

Yuv PixelToYuv(const uint8_t* bgra) noexcept {
  const int b = bgra[0];
  const int g = bgra[1];
  const int r = bgra[2];
  return {Limit(FloorDiv256(66 * r + 129 * g + 25 * b + 128) + 16),
          Limit(FloorDiv256(-38 * r - 74 * g + 112 * b + 128) + 128),
          Limit(FloorDiv256(112 * r - 94 * g - 18 * b + 128) + 128)};
}

void WriteGroup(uint8_t* out, int y0, int u, int y1, int v) noexcept {
  out[0] = static_cast<uint8_t>(y0);
  out[1] = static_cast<uint8_t>(u);
  out[2] = static_cast<uint8_t>(y1);
  out[3] = static_cast<uint8_t>(v);
}

}  // namespace

void ConvertBgraRowToYuy2(const uint8_t* bgra, uint32_t pixel_count, uint32_t row_index,
                          uint32_t row_bytes, uint8_t* frame) noexcept {
  if (!bgra || !frame) return;
  uint8_t* row = frame + static_cast<size_t>(row_index) * row_bytes;
  // Only whole groups inside the row are written: a short row must not spill
  // into the next row or past the end of the frame.
  const uint32_t room = row_bytes / 4;
  const uint32_t pairs = pixel_count / 2;
  for (uint32_t j = 0; j < pairs && j < room; ++j) {
    const Yuv first = PixelToYuv(bgra + 8 * static_cast<size_t>(j));
    const Yuv second = PixelToYuv(bgra + 8 * static_cast<size_t>(j) + 4);
    WriteGroup(row + 4 * static_cast<size_t>(j), first.y, (first.u + second.u) >> 1, second.y,
               (first.v + second.v) >> 1);
  }
  if (pixel_count % 2 == 1 && pairs < room) {
    // The lone last pixel q stands at byte 2q = 4 x pairs, its group ending two
    // bytes past 2 x pixel_count.
    const Yuv last = PixelToYuv(bgra + 8 * static_cast<size_t>(pairs));
    WriteGroup(row + 4 * static_cast<size_t>(pairs), last.y, last.u, last.y, last.v);
  }
}

bool DecodePlaceholderFrame(uint32_t width, uint32_t height, std::vector<uint8_t>& frame,
                            bool* out_of_memory) noexcept {
  if (out_of_memory) *out_of_memory = false;
  const HINSTANCE module = platform::ModuleInstance();
  if (!module || width == 0 || height == 0) return false;

  const HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(kPlaceholderResourceId), RT_RCDATA);
  if (!info) return false;
  const HGLOBAL loaded = ::LoadResource(module, info);
  if (!loaded) return false;
  // The resource lives in the module image for the module's lifetime; nothing to free.
  void* png = ::LockResource(loaded);
  const DWORD png_bytes = ::SizeofResource(module, info);
  if (!png || png_bytes == 0) return false;

  // Declared in creation order, so they are released in reverse: converter,
  // frame, decoder, stream, factory.
  ComPtr<IWICImagingFactory> factory;
  ComPtr<IWICStream> stream;
  ComPtr<IWICBitmapDecoder> decoder;
  ComPtr<IWICBitmapFrameDecode> source;
  ComPtr<IWICFormatConverter> converter;

  // WIC and COM running out of memory is a passing shortage like our own allocations
  // below: reported as such, so the caller tries again later rather than for good.
  auto failed = [out_of_memory](HRESULT hr) {
    if (hr == E_OUTOFMEMORY && out_of_memory) *out_of_memory = true;
    return FAILED(hr);
  };
  if (failed(::CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, factory.put_void())) ||
      !factory) {
    return false;
  }
  if (failed(factory->CreateStream(stream.put())) || !stream) return false;
  // The stream reads the resource in place; WIC never writes through this pointer.
  if (failed(stream->InitializeFromMemory(static_cast<BYTE*>(png), png_bytes))) return false;
  if (failed(factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                              decoder.put())) ||
      !decoder) {
    return false;
  }
  if (failed(decoder->GetFrame(0, source.put())) || !source) return false;
  if (failed(factory->CreateFormatConverter(converter.put())) || !converter) return false;
  if (failed(converter->Initialize(source.get(), GUID_WICPixelFormat32bppBGRA,
                                   WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeMedianCut))) {
    return false;
  }

  UINT picture_width = 0;
  UINT picture_height = 0;
  if (failed(converter->GetSize(&picture_width, &picture_height))) return false;
  if (picture_width != width || picture_height != height) return false;  // never scaled

  // CopyPixels takes its stride and buffer size as 32-bit counts; a picture whose
  // pixels do not fit there cannot be copied in one piece.
  const uint64_t working_bytes = static_cast<uint64_t>(width) * height * 4;
  if (working_bytes > UINT_MAX) return false;
  const uint32_t bgra_stride = width * 4;
  const uint32_t yuy2_stride = width * 2;

  try {
    std::vector<uint8_t> working(static_cast<size_t>(working_bytes));
    if (failed(converter->CopyPixels(nullptr, bgra_stride, static_cast<UINT>(working_bytes),
                                     working.data()))) {
      return false;
    }
    // Built aside and swapped in, so the caller's vector is never half-written.
    std::vector<uint8_t> converted(static_cast<size_t>(working_bytes / 2));
    for (uint32_t row = 0; row < height; ++row) {
      ConvertBgraRowToYuy2(working.data() + static_cast<size_t>(row) * bgra_stride, width, row,
                           yuy2_stride, converted.data());
    }
    frame.swap(converted);
  } catch (const std::bad_alloc&) {
    if (out_of_memory) *out_of_memory = true;
    return false;
  }
  return true;
}

}  // namespace veltrano::camera
