#include "server/class_factory.h"

#include "server/module_entry.h"

namespace veltrano::server {

CClassFactory::CClassFactory(const FactoryTemplate* factory_template) noexcept : template_(factory_template) {}

STDMETHODIMP CClassFactory::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  *out = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&ref_count_)); }

STDMETHODIMP_(ULONG) CClassFactory::Release() {
  const LONG count = ::InterlockedDecrement(&ref_count_);
  if (count != 0) return static_cast<ULONG>(count);
  delete this;
  return 0;
}

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  // An aggregating caller must hold the inner unknown, so it may ask for nothing else.
  if (outer && iid != IID_IUnknown) return E_NOINTERFACE;

  HRESULT hr = S_OK;
  framework::INonDelegatingUnknown* object = template_->create(outer, &hr);
  if (!object) return FAILED(hr) ? hr : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    // Built part-way: nobody holds a reference yet, so destroy it directly. The create
    // function returns the inner unknown of a CUnknown, whose destructor is virtual.
    delete static_cast<framework::CUnknown*>(object);
    return hr;
  }
  // The temporary reference makes a failed query destroy the object on the release.
  object->InnerAddRef();
  hr = object->InnerQueryInterface(iid, out);
  object->InnerRelease();
  return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL lock) {
  AdjustServerLock(lock != FALSE);
  return S_OK;
}

}  // namespace veltrano::server
