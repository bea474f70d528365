// Media type enumerator: lists a pin's offered types through MediaTypeAt and goes
// out of sync when the pin's TypeListVersion changes.
#include "framework/enum_media_types.h"

#include <climits>
#include <new>

#include "framework/base_pin.h"

namespace veltrano::framework {

HRESULT CEnumMediaTypes::Create(CBasePin* pin, IEnumMediaTypes** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!pin) return E_POINTER;
  *out = new (std::nothrow) CEnumMediaTypes(pin, 0, pin->TypeListVersion());
  return *out ? S_OK : E_OUTOFMEMORY;
}

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin, ULONG position, LONG version) noexcept
    : position_(position), pin_(pin), version_(version) {
  static_cast<IPin*>(pin_)->AddRef();
}

CEnumMediaTypes::~CEnumMediaTypes() { static_cast<IPin*>(pin_)->Release(); }

STDMETHODIMP CEnumMediaTypes::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IEnumMediaTypes || iid == IID_IUnknown) {
    *out = static_cast<IEnumMediaTypes*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumMediaTypes::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&ref_count_)); }

STDMETHODIMP_(ULONG) CEnumMediaTypes::Release() {
  const LONG count = ::InterlockedDecrement(&ref_count_);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

STDMETHODIMP CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
  if (!types) return E_POINTER;
  if (pin_->TypeListVersion() != version_) return VFW_E_ENUM_OUT_OF_SYNC;
  if (fetched) {
    *fetched = 0;
  } else if (count > 1) {
    return E_INVALIDARG;
  }
  ULONG done = 0;
  while (done < count) {
    CMediaTypeRecord record;
    const ULONG position = position_;  // used up whatever happens next
    if (position_ != ULONG_MAX) ++position_;
    if (pin_->MediaTypeAt(static_cast<LONG>(position), &record) != S_OK) break;
    auto* handed = static_cast<AM_MEDIA_TYPE*>(::CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    types[done] = handed;
    if (!handed) break;  // the record's contents are freed by its destructor
    // Move: the format block and the pUnk reference pass to the caller's record.
    *handed = record;
    record.cbFormat = 0;
    record.pbFormat = nullptr;
    record.pUnk = nullptr;
    ++done;
  }
  if (fetched) *fetched = done;
  return done == count ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Skip(ULONG count) {
  if (count == 0) return S_OK;
  if (pin_->TypeListVersion() != version_) return VFW_E_ENUM_OUT_OF_SYNC;
  // The position only grows: a count that would carry past the largest position
  // stops there rather than starting the list again.
  position_ = count > ULONG_MAX - position_ ? ULONG_MAX : position_ + count;
  CMediaTypeRecord last;
  return pin_->MediaTypeAt(static_cast<LONG>(position_ - 1), &last) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Reset() {
  position_ = 0;
  version_ = pin_->TypeListVersion();
  return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Clone(IEnumMediaTypes** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (pin_->TypeListVersion() != version_) return VFW_E_ENUM_OUT_OF_SYNC;
  *out = new (std::nothrow) CEnumMediaTypes(pin_, position_, version_);
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace veltrano::framework
