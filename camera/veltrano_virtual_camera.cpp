// The camera filter: construction with its pin, the pin's interfaces handed out on
// the filter, and teardown (pin first, then the source filter).
#include "camera/veltrano_virtual_camera.h"

#include <new>
#include <utility>

#include "camera/camera_identity.h"
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
  if (pin_ && (IsEqualIID(iid, IID_IAMStreamConfig) || IsEqualIID(iid, IID_IKsPropertySet))) {
    // The pin's own interface: its references count on this filter like all the pin's.
    return static_cast<IPin*>(pin_)->QueryInterface(iid, out);
  }
  return CSource::InnerQueryInterface(iid, out);
}

STDMETHODIMP_(ULONG) CVeltranoVirtualCamera::GetMiscFlags() {
  return AM_FILTER_MISC_FLAGS_IS_SOURCE;
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
