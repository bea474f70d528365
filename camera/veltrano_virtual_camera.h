// The camera filter: a source filter with exactly one output pin, "Capture", which
// it owns and destroys. Adds IAMFilterMiscFlags and IAMVideoControl (the frame rates
// of each mode) and hands out the pin's IAMStreamConfig and IKsPropertySet when
// asked for them on the filter.
// Threads: any application thread may call the COM methods; state changes run under
// the state lock of CSource; the pin's worker never takes that lock.
#pragma once

#include <dshow.h>

#include "framework/source.h"

namespace veltrano::camera {

class CVeltranoVirtualCameraStream;

class CVeltranoVirtualCamera final : public framework::CSource,
                                     public IAMFilterMiscFlags,
                                     public IAMVideoControl {
 public:
  //! Builds the filter and its pin; `result` keeps the first failure (the caller
  //! destroys a filter whose construction failed).
  CVeltranoVirtualCamera(IUnknown* outer, HRESULT* result) noexcept;

  // INonDelegatingUnknown: IAMFilterMiscFlags, the pin's IAMStreamConfig and
  // IKsPropertySet, then the source filter's interfaces.
  STDMETHODIMP InnerQueryInterface(REFIID iid, void** out) override;

  // IUnknown (delegating, for every interface of the filter)
  VELTRANO_DELEGATING_UNKNOWN

  // IAMFilterMiscFlags
  STDMETHODIMP_(ULONG) GetMiscFlags() override;

  // IAMVideoControl: no flip or trigger abilities; frame rates by mode, where `index`
  // is the capability index of IAMStreamConfig::GetStreamCaps and `dimensions` its size.
  STDMETHODIMP GetCaps(IPin* pin, LONG* flags) override;
  STDMETHODIMP SetMode(IPin* pin, LONG mode) override;
  STDMETHODIMP GetMode(IPin* pin, LONG* mode) override;
  STDMETHODIMP GetCurrentActualFrameRate(IPin* pin, LONGLONG* frame_interval) override;
  STDMETHODIMP GetMaxAvailableFrameRate(IPin* pin, LONG index, SIZE dimensions, LONGLONG* frame_interval) override;
  STDMETHODIMP GetFrameRateList(IPin* pin, LONG index, SIZE dimensions, LONG* count,
                                LONGLONG** frame_intervals) override;

  //! The camera pin; null only when it could not be allocated.
  CVeltranoVirtualCameraStream* pin() const noexcept { return pin_; }

 protected:
  ~CVeltranoVirtualCamera() override;

 private:
  //! S_OK when `pin` is this filter's pin; E_POINTER for null, else E_INVALIDARG.
  HRESULT CheckPin(IPin* pin) const noexcept;
  //! S_OK when `index` names a capability whose size is `dimensions`.
  HRESULT CheckMode(LONG index, SIZE dimensions) const noexcept;

  CVeltranoVirtualCameraStream* pin_ = nullptr;  // owned; also the pin list's one entry
};

//! Create function of the module's class table: the new filter's inner unknown, or
//! null when the filter object cannot be allocated. `result` (S_OK on entry, may be
//! null) receives E_OUTOFMEMORY or another failure; a filter returned together with
//! a failure is to be destroyed by the caller.
framework::INonDelegatingUnknown* CreateCameraFilter(IUnknown* outer, HRESULT* result) noexcept;

}  // namespace veltrano::camera
