// The camera filter: construction with its pin, the pin's interfaces handed out on
// the filter, and teardown (pin first, then the source filter).
#include "camera/veltrano_virtual_camera.h"

#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "camera/camera_identity.h"
#include "camera/capture_mode.h"
#include "camera/veltrano_virtual_camera_stream.h"

namespace veltrano::camera {

CVeltranoVirtualCamera::CVeltranoVirtualCamera(IUnknown* outer, HRESULT* result) noexcept
    : CSource(kCameraFriendlyName, outer, kCameraClsid, result) {
  pin_ = new (std::nothrow) CVeltranoVirtualCameraStream(result, this);
  if (!pin_) framework::StoreResult(result, E_OUTOFMEMORY);
}

CVeltranoVirtualCamera::~CVeltranoVirtualCamera() {
  // CSource::OnFinalRelease has stopped the filter and ended the worker by now. The
  // pin detaches itself from the pin list as it goes, so CSource finds none left.
  delete std::exchange(pin_, nullptr);
}

STDMETHODIMP CVeltranoVirtualCamera::InnerQueryInterface(REFIID iid, void** out) {
  if (IsEqualIID(iid, IID_IAMFilterMiscFlags)) {
    return HandOutInterface(static_cast<IAMFilterMiscFlags*>(this), out);
  }
  if (pin_ && IsEqualIID(iid, IID_IAMVideoControl)) return HandOutInterface(static_cast<IAMVideoControl*>(this), out);
  if (pin_ && (IsEqualIID(iid, IID_IAMStreamConfig) || IsEqualIID(iid, IID_IKsPropertySet))) {
    // The pin's own interface: its references count on this filter like all the pin's.
    return static_cast<IPin*>(pin_)->QueryInterface(iid, out);
  }
  return CSource::InnerQueryInterface(iid, out);
}

STDMETHODIMP_(ULONG) CVeltranoVirtualCamera::GetMiscFlags() {
  return AM_FILTER_MISC_FLAGS_IS_SOURCE;
}

// ---- IAMVideoControl -----------------------------------------------------------

HRESULT CVeltranoVirtualCamera::CheckPin(IPin* pin) const noexcept {
  if (!pin) return E_POINTER;
  return pin_ && pin == static_cast<IPin*>(pin_) ? S_OK : E_INVALIDARG;
}

HRESULT CVeltranoVirtualCamera::CheckMode(LONG index, SIZE dimensions) const noexcept {
  const std::vector<CaptureMode>& modes = pin_->modes();
  if (index < 0 || static_cast<size_t>(index) >= modes.size()) return E_INVALIDARG;
  const CaptureMode& mode = modes[index];
  return mode.width == dimensions.cx && mode.height == dimensions.cy ? S_OK : E_INVALIDARG;
}

// Every output is cleared before the first check, so that a failure never leaves a
// caller holding what it had there.

STDMETHODIMP CVeltranoVirtualCamera::GetCaps(IPin* pin, LONG* flags) {
  if (!flags) return E_POINTER;
  *flags = 0;  // no flipping, no external trigger
  return CheckPin(pin);
}

STDMETHODIMP CVeltranoVirtualCamera::SetMode(IPin* pin, LONG mode) {
  const HRESULT hr = CheckPin(pin);
  if (FAILED(hr)) return hr;
  return mode == 0 ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CVeltranoVirtualCamera::GetMode(IPin* pin, LONG* mode) {
  if (!mode) return E_POINTER;
  *mode = 0;
  return CheckPin(pin);
}

STDMETHODIMP CVeltranoVirtualCamera::GetCurrentActualFrameRate(IPin* pin, LONGLONG* frame_interval) {
  if (!frame_interval) return E_POINTER;
  *frame_interval = 0;
  const HRESULT hr = CheckPin(pin);
  if (FAILED(hr)) return hr;
  // The rate of the current mode, also while the pin is unconnected (S_OK): the camera
  // delivers at its format's rate whatever the host sends, so the rate it would run at
  // is known before anything streams.
  const REFERENCE_TIME interval = pin_->CurrentFrameInterval();
  // The current type always has its format block: 0 means its copy ran out of memory.
  if (interval <= 0) return E_OUTOFMEMORY;
  *frame_interval = interval;
  return S_OK;
}

STDMETHODIMP CVeltranoVirtualCamera::GetMaxAvailableFrameRate(IPin* pin, LONG index, SIZE dimensions,
                                                              LONGLONG* frame_interval) {
  if (!frame_interval) return E_POINTER;
  *frame_interval = 0;
  HRESULT hr = CheckPin(pin);
  if (SUCCEEDED(hr)) hr = CheckMode(index, dimensions);
  if (FAILED(hr)) return hr;
  *frame_interval = kMinFrameInterval;
  return S_OK;
}

STDMETHODIMP CVeltranoVirtualCamera::GetFrameRateList(IPin* pin, LONG index, SIZE dimensions, LONG* count,
                                                      LONGLONG** frame_intervals) {
  if (frame_intervals) *frame_intervals = nullptr;
  if (!count) return E_POINTER;
  *count = 0;
  HRESULT hr = CheckPin(pin);
  if (SUCCEEDED(hr)) hr = CheckMode(index, dimensions);
  if (FAILED(hr)) return hr;
  constexpr LONG kCount = static_cast<LONG>(std::size(kFrameRateList));
  if (!frame_intervals) {  // a size query
    *count = kCount;
    return S_OK;
  }
  auto* list = static_cast<LONGLONG*>(::CoTaskMemAlloc(sizeof(kFrameRateList)));
  if (!list) return E_OUTOFMEMORY;
  std::memcpy(list, kFrameRateList, sizeof(kFrameRateList));
  *count = kCount;
  *frame_intervals = list;
  return S_OK;
}

framework::INonDelegatingUnknown* CreateCameraFilter(IUnknown* outer, HRESULT* result) noexcept {
  auto* filter = new (std::nothrow) CVeltranoVirtualCamera(outer, result);
  if (!filter) {
    if (result) *result = E_OUTOFMEMORY;
    return nullptr;
  }
  return filter;
}

}  // namespace veltrano::camera
