// Helpers shared by the COM tests: reference counts, interface checks that report
// the caller's line, and a deep media type comparison.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

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

//! Frees a caller-owned media type as COM callers must (format block, pUnk, record).
inline void DeleteMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return;
  if (type->cbFormat) CoTaskMemFree(type->pbFormat);
  if (type->pUnk) type->pUnk->Release();
  CoTaskMemFree(type);
}

}  // namespace veltrano::test
