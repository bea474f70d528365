// Pin enumerator of a filter (IBaseFilter::EnumPins). Holds a reference on the
// filter; driven by one caller at a time, separate callers use Clone.
#pragma once

#include <dshow.h>

#include <vector>

namespace veltrano::framework {

class CBaseFilter;
class CBasePin;

class CEnumPins final : public IEnumPins {
 public:
  //! A new enumerator at position 0. E_POINTER for a null `out`; E_OUTOFMEMORY (and
  //! *out null) when it cannot be made.
  static HRESULT Create(CBaseFilter* filter, IEnumPins** out) noexcept;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IEnumPins
  STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumPins** out) override;

 private:
  explicit CEnumPins(CBaseFilter* filter) noexcept;
  ~CEnumPins();

  LONG position_ = 0;
  LONG pin_count_ = 0;
  CBaseFilter* const filter_;  // one reference held on its IBaseFilter
  LONG version_ = 0;
  LONG ref_count_ = 1;  // changed only by Interlocked*
  std::vector<CBasePin*> returned_pins_;  // handed out since creation or Reset, uncounted
};

}  // namespace veltrano::framework
