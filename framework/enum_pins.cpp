// Pin enumerator of a filter.
#include "framework/enum_pins.h"

#include <algorithm>
#include <new>

#include "framework/base_filter.h"
#include "framework/base_pin.h"

namespace veltrano::framework {

HRESULT CEnumPins::Create(CBaseFilter* filter, IEnumPins** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto* enumerator = new (std::nothrow) CEnumPins(filter);
  if (!enumerator) return E_OUTOFMEMORY;
  *out = enumerator;
  return S_OK;
}

CEnumPins::CEnumPins(CBaseFilter* filter) noexcept : filter_(filter) {
  static_cast<IBaseFilter*>(filter_)->AddRef();
  version_ = filter_->PinListVersion();
  pin_count_ = filter_->PinCount();
}

CEnumPins::~CEnumPins() { static_cast<IBaseFilter*>(filter_)->Release(); }

STDMETHODIMP CEnumPins::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IEnumPins || iid == IID_IUnknown) {
    *out = static_cast<IEnumPins*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumPins::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&ref_count_)); }

STDMETHODIMP_(ULONG) CEnumPins::Release() {
  const LONG count = ::InterlockedDecrement(&ref_count_);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

STDMETHODIMP CEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched) {
  if (!pins) return E_POINTER;
  if (fetched) {
    *fetched = 0;
  } else if (count > 1) {
    return E_INVALIDARG;
  }
  if (version_ != filter_->PinListVersion()) {
    // Resynchronise; the returned-pin list stays, so pins already handed out are skipped.
    version_ = filter_->PinListVersion();
    pin_count_ = filter_->PinCount();
    position_ = 0;
  }
  // Room for every pin this call can add, so that recording a pin cannot fail after
  // it has been handed out.
  const ULONG left = position_ < pin_count_ ? static_cast<ULONG>(pin_count_ - position_) : 0;
  try {
    returned_pins_.reserve(returned_pins_.size() + std::min(count, left));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  const size_t returned_before = returned_pins_.size();
  ULONG handed_out = 0;
  while (handed_out < count && position_ < pin_count_) {
    CBasePin* pin = filter_->PinAt(position_);
    ++position_;
    if (!pin) {
      // The pin list shrank under us (only during destruction). Take back what this
      // call handed out, so the caller is not left holding references it was told
      // nothing about.
      for (ULONG i = 0; i < handed_out; ++i) {
        pins[i]->Release();
        pins[i] = nullptr;
      }
      returned_pins_.resize(returned_before);
      return VFW_E_ENUM_OUT_OF_SYNC;
    }
    if (std::find(returned_pins_.begin(), returned_pins_.end(), pin) != returned_pins_.end()) continue;
    IPin* ipin = pin;
    ipin->AddRef();
    pins[handed_out++] = ipin;
    returned_pins_.push_back(pin);
  }
  if (fetched) *fetched = handed_out;
  return handed_out == count ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumPins::Skip(ULONG count) {
  if (version_ != filter_->PinListVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  if (count > static_cast<ULONG>(pin_count_ - position_)) return S_FALSE;
  position_ += static_cast<LONG>(count);
  return S_OK;
}

STDMETHODIMP CEnumPins::Reset() {
  version_ = filter_->PinListVersion();
  pin_count_ = filter_->PinCount();
  position_ = 0;
  returned_pins_.clear();
  return S_OK;
}

STDMETHODIMP CEnumPins::Clone(IEnumPins** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (version_ != filter_->PinListVersion()) return VFW_E_ENUM_OUT_OF_SYNC;
  auto* clone = new (std::nothrow) CEnumPins(filter_);
  if (!clone) return E_OUTOFMEMORY;
  try {
    clone->returned_pins_ = returned_pins_;
  } catch (const std::bad_alloc&) {
    clone->Release();
    return E_OUTOFMEMORY;
  }
  clone->position_ = position_;
  clone->pin_count_ = pin_count_;
  clone->version_ = version_;
  *out = clone;
  return S_OK;
}

}  // namespace veltrano::framework
