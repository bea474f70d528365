#include "tools/common/image_file.h"

#include <wincodec.h>

#include <algorithm>
#include <new>

#include "platform/com_ptr.h"

namespace veltrano::tools {
namespace {

using platform::ComPtr;

HRESULT CreateFactory(ComPtr<IWICImagingFactory>* factory) {
  return ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                            factory->put_void());
}

HRESULT Allocate(BgraImage* image, int width, int height) {
  try {
    image->pixels.assign(static_cast<size_t>(width) * height * 4, 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  image->width = width;
  image->height = height;
  return S_OK;
}

// Copies any WIC source into `image` as 32-bit BGRA.
HRESULT CopyAsBgra(IWICImagingFactory* factory, IWICBitmapSource* source, BgraImage* image) {
  ComPtr<IWICFormatConverter> converter;
  HRESULT hr = factory->CreateFormatConverter(converter.put());
  if (FAILED(hr)) return hr;
  hr = converter->Initialize(source, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                             WICBitmapPaletteTypeMedianCut);
  if (FAILED(hr)) return hr;
  UINT width = 0;
  UINT height = 0;
  hr = converter->GetSize(&width, &height);
  if (FAILED(hr)) return hr;
  if (width == 0 || height == 0 || width > 16384 || height > 16384) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
  hr = Allocate(image, static_cast<int>(width), static_cast<int>(height));
  if (FAILED(hr)) return hr;
  return converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(image->pixels.size()), image->pixels.data());
}

}  // namespace

HRESULT WritePngFile(const std::wstring& path, const BgraImage& image) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() != static_cast<size_t>(image.width) * image.height * 4) {
    return E_INVALIDARG;
  }
  ComPtr<IWICImagingFactory> factory;
  HRESULT hr = CreateFactory(&factory);
  if (FAILED(hr)) return hr;
  ComPtr<IWICStream> stream;
  hr = factory->CreateStream(stream.put());
  if (FAILED(hr)) return hr;
  hr = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
  if (FAILED(hr)) return hr;
  ComPtr<IWICBitmapEncoder> encoder;
  hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put());
  if (FAILED(hr)) return hr;
  hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
  if (FAILED(hr)) return hr;
  ComPtr<IWICBitmapFrameEncode> frame;
  hr = encoder->CreateNewFrame(frame.put(), nullptr);
  if (FAILED(hr)) return hr;
  hr = frame->Initialize(nullptr);
  if (FAILED(hr)) return hr;
  hr = frame->SetSize(static_cast<UINT>(image.width), static_cast<UINT>(image.height));
  if (FAILED(hr)) return hr;
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
  hr = frame->SetPixelFormat(&format);
  if (FAILED(hr)) return hr;
  // The encoder may pick a neighbouring format; only BGRA is written as is.
  if (format != GUID_WICPixelFormat32bppBGRA) return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  hr = frame->WritePixels(static_cast<UINT>(image.height), static_cast<UINT>(image.width) * 4,
                          static_cast<UINT>(image.pixels.size()), const_cast<BYTE*>(image.pixels.data()));
  if (FAILED(hr)) return hr;
  hr = frame->Commit();
  if (FAILED(hr)) return hr;
  return encoder->Commit();
}

HRESULT ReadImageFile(const std::wstring& path, BgraImage* image) {
  if (!image) return E_POINTER;
  ComPtr<IWICImagingFactory> factory;
  HRESULT hr = CreateFactory(&factory);
  if (FAILED(hr)) return hr;
  ComPtr<IWICBitmapDecoder> decoder;
  hr = factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                          decoder.put());
  if (FAILED(hr)) return hr;
  ComPtr<IWICBitmapFrameDecode> frame;
  hr = decoder->GetFrame(0, frame.put());
  if (FAILED(hr)) return hr;
  return CopyAsBgra(factory.get(), frame.get(), image);
}

HRESULT FitImage(const BgraImage& source, int width, int height, BgraImage* fitted, int* fitted_width,
                 int* fitted_height) {
  if (!fitted || !fitted_width || !fitted_height) return E_POINTER;
  if (source.width <= 0 || source.height <= 0 || width <= 0 || height <= 0) return E_INVALIDARG;
  // Largest size of the source's aspect that fits; even width keeps YUY2 pairs whole.
  int scaled_width = width;
  int scaled_height = static_cast<int>(static_cast<int64_t>(source.height) * width / source.width);
  if (scaled_height > height) {
    scaled_height = height;
    scaled_width = static_cast<int>(static_cast<int64_t>(source.width) * height / source.height);
  }
  scaled_width = std::max(2, scaled_width & ~1);
  scaled_height = std::max(1, scaled_height);

  ComPtr<IWICImagingFactory> factory;
  HRESULT hr = CreateFactory(&factory);
  if (FAILED(hr)) return hr;
  ComPtr<IWICBitmap> bitmap;
  hr = factory->CreateBitmapFromMemory(static_cast<UINT>(source.width), static_cast<UINT>(source.height),
                                       GUID_WICPixelFormat32bppBGRA, static_cast<UINT>(source.width) * 4,
                                       static_cast<UINT>(source.pixels.size()),
                                       const_cast<BYTE*>(source.pixels.data()), bitmap.put());
  if (FAILED(hr)) return hr;
  ComPtr<IWICBitmapScaler> scaler;
  hr = factory->CreateBitmapScaler(scaler.put());
  if (FAILED(hr)) return hr;
  hr = scaler->Initialize(bitmap.get(), static_cast<UINT>(scaled_width), static_cast<UINT>(scaled_height),
                          WICBitmapInterpolationModeFant);
  if (FAILED(hr)) return hr;
  BgraImage scaled;
  hr = CopyAsBgra(factory.get(), scaler.get(), &scaled);
  if (FAILED(hr)) return hr;

  hr = Allocate(fitted, width, height);
  if (FAILED(hr)) return hr;
  for (size_t i = 3; i < fitted->pixels.size(); i += 4) fitted->pixels[i] = 255;
  const int left = (width - scaled.width) / 2;
  const int top = (height - scaled.height) / 2;
  for (int y = 0; y < scaled.height; ++y) {
    std::copy_n(scaled.pixels.data() + static_cast<size_t>(y) * scaled.width * 4, static_cast<size_t>(scaled.width) * 4,
                fitted->pixels.data() + (static_cast<size_t>(top + y) * width + left) * 4);
  }
  *fitted_width = scaled.width;
  *fitted_height = scaled.height;
  return S_OK;
}

}  // namespace veltrano::tools
