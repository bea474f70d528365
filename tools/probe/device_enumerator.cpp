#include "tools/probe/device_enumerator.h"

#include <ks.h>
#include <ksmedia.h>
#include <ksproxy.h>
#include <oleauto.h>

#include <new>

namespace veltrano::tools {
namespace {

using platform::ComPtr;

// GetStreamCaps hands the caller a media type and its format block in task memory.
void FreeMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return;
  if (type->cbFormat) ::CoTaskMemFree(type->pbFormat);
  if (type->pUnk) type->pUnk->Release();
  ::CoTaskMemFree(type);
}

// Owns a VARIANT that a property bag filled.
class ScopedVariant {
 public:
  ScopedVariant() { ::VariantInit(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  ~ScopedVariant() { ::VariantClear(&value_); }
  VARIANT* get() { return &value_; }

 private:
  VARIANT value_;
};

HRESULT EnumerateMonikers(ComPtr<IEnumMoniker>* monikers) {
  ComPtr<ICreateDevEnum> enumerator;
  HRESULT hr = ::CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  enumerator.put_void());
  if (FAILED(hr)) return hr;
  // S_FALSE (and no enumerator) when the category is empty.
  return enumerator->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers->put(), 0);
}

std::wstring FriendlyName(IMoniker* moniker) {
  ComPtr<IPropertyBag> bag;
  if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.put_void()))) return {};
  ScopedVariant name;
  if (FAILED(bag->Read(L"FriendlyName", name.get(), nullptr)) || name.get()->vt != VT_BSTR) return {};
  return name.get()->bstrVal;
}

bool IsCapturePin(IPin* pin) {
  ComPtr<IKsPropertySet> properties;
  if (FAILED(pin->QueryInterface(IID_IKsPropertySet, properties.put_void()))) return false;
  GUID category = GUID_NULL;
  DWORD returned = 0;
  return SUCCEEDED(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category,
                                   sizeof category, &returned)) &&
         returned == sizeof category && category == PIN_CATEGORY_CAPTURE;
}

HRESULT QueryFormats(IBaseFilter* filter, std::vector<DeviceFormat>* formats) {
  ComPtr<IPin> pin;
  HRESULT hr = FindCapturePin(filter, &pin);
  if (FAILED(hr)) return hr;
  ComPtr<IAMStreamConfig> config;
  hr = pin->QueryInterface(IID_IAMStreamConfig, config.put_void());
  if (FAILED(hr)) return hr;
  int count = 0;
  int caps_size = 0;
  hr = config->GetNumberOfCapabilities(&count, &caps_size);
  if (FAILED(hr)) return hr;
  std::vector<BYTE> caps(caps_size > 0 ? static_cast<size_t>(caps_size) : 1);
  for (int i = 0; i < count; ++i) {
    AM_MEDIA_TYPE* type = nullptr;
    hr = config->GetStreamCaps(i, &type, caps.data());
    if (FAILED(hr)) return hr;
    DeviceFormat format;
    format.subtype = SubtypeName(type->subtype);
    if (type->formattype == FORMAT_VideoInfo && type->pbFormat && type->cbFormat >= sizeof(VIDEOINFOHEADER)) {
      const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
      format.width = info->bmiHeader.biWidth;
      format.height = info->bmiHeader.biHeight;
      format.fps = info->AvgTimePerFrame > 0 ? 1e7 / info->AvgTimePerFrame : 0.0;
    }
    FreeMediaType(type);
    formats->push_back(format);
  }
  return S_OK;
}

}  // namespace

std::wstring SubtypeName(const GUID& subtype) {
  // FOURCC subtypes are {XXXXXXXX-0000-0010-8000-00AA00389B71}.
  static const GUID kFourccBase = {0, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  GUID base = subtype;
  base.Data1 = 0;
  if (base == kFourccBase) {
    std::wstring name;
    for (int i = 0; i < 4; ++i) {
      const wchar_t c = static_cast<wchar_t>((subtype.Data1 >> (8 * i)) & 0xFF);
      name.push_back(c >= 32 && c < 127 ? c : L'?');
    }
    return name;
  }
  wchar_t text[40] = {};
  ::StringFromGUID2(subtype, text, 40);
  return text;
}

HRESULT FindCapturePin(IBaseFilter* filter, ComPtr<IPin>* capture_pin) {
  ComPtr<IEnumPins> pins;
  HRESULT hr = filter->EnumPins(pins.put());
  if (FAILED(hr)) return hr;
  ComPtr<IPin> first_output;
  ComPtr<IPin> pin;
  while (pins->Next(1, pin.put(), nullptr) == S_OK) {
    PIN_DIRECTION direction = PINDIR_INPUT;
    if (FAILED(pin->QueryDirection(&direction)) || direction != PINDIR_OUTPUT) continue;
    if (IsCapturePin(pin.get())) {
      *capture_pin = pin;
      return S_OK;
    }
    if (!first_output) first_output = pin;
  }
  if (!first_output) return VFW_E_NOT_FOUND;
  *capture_pin = first_output;
  return S_OK;
}

HRESULT ListVideoDevices(std::vector<DeviceInfo>* devices) {
  ComPtr<IEnumMoniker> monikers;
  HRESULT hr = EnumerateMonikers(&monikers);
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE || !monikers) return S_FALSE;
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, moniker.put(), nullptr) == S_OK) {
    DeviceInfo device;
    device.name = FriendlyName(moniker.get());
    ComPtr<IBaseFilter> filter;
    hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.put_void());
    if (FAILED(hr)) {
      device.problem = L"cannot be opened";
    } else if (FAILED(hr = QueryFormats(filter.get(), &device.formats))) {
      device.problem = L"formats not available";
    }
    if (FAILED(hr)) {
      wchar_t code[24];
      swprintf(code, 24, L" (0x%08lX)", static_cast<unsigned long>(hr));
      device.problem += code;
    }
    devices->push_back(std::move(device));
  }
  return devices->empty() ? S_FALSE : S_OK;
}

HRESULT BindVideoDevice(const std::wstring& name, ComPtr<IBaseFilter>* filter) {
  ComPtr<IEnumMoniker> monikers;
  HRESULT hr = EnumerateMonikers(&monikers);
  if (FAILED(hr)) return hr;
  if (hr == S_FALSE || !monikers) return S_FALSE;
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, moniker.put(), nullptr) == S_OK) {
    if (::CompareStringOrdinal(FriendlyName(moniker.get()).c_str(), -1, name.c_str(), -1, TRUE) != CSTR_EQUAL) continue;
    return moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter->put_void());
  }
  return S_FALSE;
}

}  // namespace veltrano::tools
