// Media type enumerator over one pin's offered types (IPin::EnumMediaTypes). It
// holds a reference on the pin (and so on its filter) and is driven by one caller
// at a time; separate callers use Clone.
#pragma once

#include <dshow.h>

namespace veltrano::framework {

class CBasePin;

class CEnumMediaTypes final : public IEnumMediaTypes {
 public:
  //! Creates an enumerator at position 0 with the pin's current type-list version.
  //! E_POINTER for a null `out`; E_OUTOFMEMORY (and *out null) when it cannot be made.
  static HRESULT Create(CBasePin* pin, IEnumMediaTypes** out) noexcept;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IEnumMediaTypes
  STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumMediaTypes** out) override;

 private:
  CEnumMediaTypes(CBasePin* pin, ULONG position, LONG version) noexcept;
  ~CEnumMediaTypes();

  ULONG position_;
  CBasePin* const pin_;  // one reference held on its IPin
  LONG version_;
  LONG ref_count_ = 1;  // changed only by Interlocked*
};

}  // namespace veltrano::framework
