// Helpers shared by the COM tests: reference counts, interface checks that report
// the caller's line, deep media type copies and comparison, and the IUnknown of
// hand-written fakes that live on the test's stack.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

// qedit's sample grabber and null renderer: libstrmiids defines them, mingw-w64's
// headers do not declare them.
extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;

namespace veltrano::test {

//! Current reference count of `unknown` (AddRef then Release).
inline ULONG GetRefcount(IUnknown* unknown) {
  unknown->AddRef();
  return unknown->Release();
}

inline void ExpectInterfaceAt(int line, IUnknown* object, REFIID iid, bool supported) {
  IUnknown* out = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0xdeadbeef));
  const HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(&out));
  if (supported) {
    EXPECT_EQ(S_OK, hr) << "line " << line;
    if (SUCCEEDED(hr) && out) out->Release();
  } else {
    EXPECT_EQ(E_NOINTERFACE, hr) << "line " << line;
    EXPECT_EQ(nullptr, out) << "line " << line;
  }
}
#define EXPECT_INTERFACE(object, iid, supported) \
  ::veltrano::test::ExpectInterfaceAt(__LINE__, (object), (iid), (supported))

//! Deep comparison of two media types: every field and the format bytes.
inline bool MediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
  if (a.majortype != b.majortype || a.subtype != b.subtype || a.formattype != b.formattype) return false;
  if (a.bFixedSizeSamples != b.bFixedSizeSamples || a.bTemporalCompression != b.bTemporalCompression) return false;
  if (a.lSampleSize != b.lSampleSize || a.pUnk != b.pUnk || a.cbFormat != b.cbFormat) return false;
  if (a.cbFormat == 0) return true;
  if (!a.pbFormat || !b.pbFormat) return a.pbFormat == b.pbFormat;
  return memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0;
}

//! Frees what CopyMediaType gave `type` and empties it.
inline void ClearMediaType(AM_MEDIA_TYPE* type) {
  if (type->cbFormat) CoTaskMemFree(type->pbFormat);
  if (type->pUnk) type->pUnk->Release();
  *type = AM_MEDIA_TYPE{};
}

//! Frees a caller-owned media type as COM callers must (format block, pUnk, record).
inline void DeleteMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return;
  ClearMediaType(type);
  CoTaskMemFree(type);
}

//! Deep copy of `from` into `to` (task-memory format block, pUnk counted), as
//! IEnumMediaTypes::Next and IPin::ConnectionMediaType hand types out.
inline HRESULT CopyMediaType(AM_MEDIA_TYPE* to, const AM_MEDIA_TYPE& from) {
  *to = from;
  to->pbFormat = nullptr;
  to->cbFormat = 0;
  if (from.cbFormat != 0 && from.pbFormat) {
    to->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(from.cbFormat));
    if (!to->pbFormat) {
      to->pUnk = nullptr;
      return E_OUTOFMEMORY;
    }
    std::memcpy(to->pbFormat, from.pbFormat, from.cbFormat);
    to->cbFormat = from.cbFormat;
  }
  if (to->pUnk) to->pUnk->AddRef();
  return S_OK;
}

//! QueryInterface of an object that exposes IUnknown and `own` only.
template <class Interface>
HRESULT QueryOneInterface(Interface* self, REFIID own, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid != IID_IUnknown && iid != own) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  *out = self;
  self->AddRef();
  return S_OK;
}

//! IUnknown of a single-interface fake that lives on the test's stack: its count
//! starts at 1 (the test's) and never frees the object, so tests can check it.
template <class Interface, const IID& kIid>
class StackUnknown : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return QueryOneInterface<Interface>(this, kIid, iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++ref_count_); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--ref_count_); }
  LONG ref_count() const noexcept { return ref_count_.load(); }

 private:
  std::atomic<LONG> ref_count_{1};
};

}  // namespace veltrano::test
