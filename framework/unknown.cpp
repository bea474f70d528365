// Inner and delegating reference counting of the module's COM objects.
#include "framework/unknown.h"

namespace veltrano::framework {

CUnknown::CUnknown(IUnknown* outer) noexcept : owner_(outer ? outer : inner_unknown()) {}

CUnknown::~CUnknown() = default;

STDMETHODIMP CUnknown::InnerQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown) return HandOutInterface(inner_unknown(), out);
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CUnknown::InnerAddRef() {
  ::InterlockedIncrement(&ref_count_);
  // Read again: the value is information only and may include other threads' changes.
  const LONG count = ::InterlockedCompareExchange(&ref_count_, 0, 0);
  return count > 0 ? static_cast<ULONG>(count) : 1;
}

STDMETHODIMP_(ULONG) CUnknown::InnerRelease() {
  const LONG count = ::InterlockedDecrement(&ref_count_);
  if (count != 0) return static_cast<ULONG>(count);
  // No other reference exists now. Holding the count at 1 while the object winds down
  // keeps a reference taken and dropped by OnFinalRelease or a destructor from
  // starting a second destruction.
  ref_count_ = 1;
  OnFinalRelease();
  delete this;
  return 0;
}

HRESULT CUnknown::HandOutInterface(IUnknown* iface, void** out) noexcept {
  if (!out) return E_POINTER;
  *out = iface;
  iface->AddRef();
  return S_OK;
}

}  // namespace veltrano::framework
