// Reference counting and aggregation for the module's COM objects. Each object has
// an inner unknown of its own (INonDelegatingUnknown) and forwards the IUnknown
// methods of all its other interfaces to its owner: the aggregating outer object,
// or its own inner unknown. Any thread may call any of these; counts change only by
// interlocked operations.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "framework/base_object.h"

namespace veltrano::framework {

//! The inner unknown. Its three operations sit where IUnknown's do, so a pointer to
//! it can be handed out wherever an IUnknown is expected.
struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG STDMETHODCALLTYPE InnerAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE InnerRelease() = 0;
};

//! Stores `hr` into a constructor's result slot unless the slot already holds a
//! failure: the first failure of a multi-step construction is the one reported.
inline void StoreResult(HRESULT* slot, HRESULT hr) noexcept {
  if (slot && SUCCEEDED(*slot)) *slot = hr;
}

//! The failure of a system call that returned no object, from its last-error code: a
//! missing code must not turn into a success in a constructor's result slot.
inline HRESULT LastErrorAsFailure() noexcept {
  const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
  return FAILED(hr) ? hr : E_FAIL;
}

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  //! `outer` may be null: the object is then its own owner. Count starts at 0.
  explicit CUnknown(IUnknown* outer) noexcept;
  CUnknown(const CUnknown&) = delete;
  CUnknown& operator=(const CUnknown&) = delete;

  // INonDelegatingUnknown
  STDMETHODIMP InnerQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) InnerAddRef() override;
  STDMETHODIMP_(ULONG) InnerRelease() override;

  virtual ~CUnknown();

  //! Runs once when the last reference goes, before the object is destroyed (the
  //! count stands at 1 meanwhile). A filter stops its workers here, before any
  //! derived destructor frees what they use.
  virtual void OnFinalRelease() noexcept {}

  //! The controlling unknown: the outer object, or this object's inner unknown.
  IUnknown* owner() const noexcept { return owner_; }
  //! This object's inner unknown viewed as an IUnknown.
  IUnknown* inner_unknown() noexcept { return reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this)); }

 protected:
  //! The one way interfaces are handed out: E_POINTER for a null `out`, else
  //! stores `iface` and adds a reference through that very pointer.
  static HRESULT HandOutInterface(IUnknown* iface, void** out) noexcept;

 private:
  IUnknown* const owner_;  // not counted: the owner outlives its parts
  LONG ref_count_ = 0;  // changed only by Interlocked*
};

}  // namespace veltrano::framework

//! The delegating IUnknown of every COM interface of a CUnknown-derived class.
#define VELTRANO_DELEGATING_UNKNOWN                                             \
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {                \
    return owner()->QueryInterface(iid, out);                                   \
  }                                                                             \
  STDMETHODIMP_(ULONG) AddRef() override { return owner()->AddRef(); }          \
  STDMETHODIMP_(ULONG) Release() override { return owner()->Release(); }
