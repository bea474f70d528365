// Source filter storage: the array of source-stream pins and the state lock that
// guards the filter and every pin (it is also the filter lock and each pin's lock).
// Its pins are live: they deliver only while the filter runs.
// The filter owns its pins and destroys them in its own destruction.
#pragma once

#include "framework/base_filter.h"

namespace veltrano::framework {

class CSourceStream;

class CSource : public CBaseFilter {
 public:
  //! `result` receives the first failure of the construction (nothing on success).
  CSource(const wchar_t* object_name, IUnknown* outer, REFCLSID clsid, HRESULT* result) noexcept;
  ~CSource() override;

  //! Stops the filter and ends every worker before anything is destroyed.
  void OnFinalRelease() noexcept override;

  // IMediaFilter
  //! A source whose pins deliver only while running cannot cue data: in Paused with
  //! a connected pin it answers VFW_S_CANT_CUE, so the graph waits for no sample.
  //! (Wine 8's graph answers VFW_S_CANT_CUE then, ahead of a renderer's
  //! VFW_S_STATE_INTERMEDIATE.) Takes no lock, like the filter's own GetState.
  STDMETHODIMP GetState(DWORD timeout_ms, FILTER_STATE* out) override;

  //! PinCount and PinAt take only the small pin-list lock, never the state lock, so a
  //! downstream callback on a worker thread may enumerate pins while Stop waits.
  LONG PinCount() override;
  CBasePin* PinAt(LONG index) override;

  //! Appends a pin (from its constructor). E_OUTOFMEMORY leaves the list unchanged.
  HRESULT AttachPin(CSourceStream* pin) noexcept;
  //! Removes a pin (from its destructor); no lock, destruction only.
  void DetachPin(CSourceStream* pin) noexcept;
  //! 1-based position of `pin` in the pin array, 0 when absent (no lock).
  LONG PinPosition(const CSourceStream* pin) const noexcept;

  platform::CriticalSection* state_lock() noexcept { return &state_lock_; }

 private:
  LONG pin_count_ = 0;
  CSourceStream** pins_ = nullptr;
  platform::CriticalSection state_lock_;
  // Guards pin_count_ and pins_ for readers; held only around the array itself.
  mutable platform::CriticalSection pin_list_lock_;
};

}  // namespace veltrano::framework
