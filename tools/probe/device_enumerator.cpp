#include "tools/probe/device_enumerator.h"

#include <ks.h>
#include <ksmedia.h>
#include <ksproxy.h>
#include <oleauto.h>

#include <new>

namespace veltrano::tools {
namespace {

using platform::ComPtr;

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

HRESULT QueryCapabilities(IBaseFilter* filter, std::vector<Capability>* capabilities) {
  ComPtr<IPin> pin;
  const HRESULT hr = FindCapturePin(filter, &pin);
  if (FAILED(hr)) return hr;
  return ReadCapabilities(filter, pin.get(), capabilities);
}

}  // namespace

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
    } else if (FAILED(hr = QueryCapabilities(filter.get(), &device.capabilities))) {
      device.problem = L"capabilities not available";
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
