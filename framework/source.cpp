// Source filter storage: the pin array and the state lock.
#include "framework/source.h"

#include <new>

#include "framework/base_pin.h"
#include "framework/source_stream.h"

namespace veltrano::framework {

CSource::CSource(const wchar_t* object_name, IUnknown* outer, REFCLSID clsid, HRESULT* result) noexcept
    : CBaseFilter(outer, clsid, &state_lock_) {}

CSource::~CSource() {
  // Each pin's destructor detaches it, shrinking the array from the end.
  while (pin_count_ > 0) {
    const LONG before = pin_count_;
    delete pins_[pin_count_ - 1];
    if (pin_count_ == before) {
      // A pin that did not detach itself must not make this loop run forever.
      auto guard = pin_list_lock_.Lock();
      --pin_count_;
    }
  }
  delete[] pins_;
  pins_ = nullptr;
}

void CSource::OnFinalRelease() noexcept {
  // Released while paused or running, or after a stop whose decommit failed: end every
  // worker now, while the derived filter and its pins are still whole.
  if (state() != State_Stopped) Stop();
  for (LONG i = 0; i < pin_count_; ++i) {
    if (pins_[i]) pins_[i]->ShutDownWorker();
  }
}

STDMETHODIMP CSource::GetState(DWORD timeout_ms, FILTER_STATE* out) {
  const HRESULT hr = CBaseFilter::GetState(timeout_ms, out);
  if (hr != S_OK || *out != State_Paused) return hr;
  // The connections are read without the state lock, which GetState must not wait
  // for, and without any other synchronisation. They change only while the filter is
  // stopped: for a filter that stays paused through the call the answer is exact; a
  // call that overlaps a Stop and a disconnection answers for a state that has passed.
  const LONG count = PinCount();
  for (LONG i = 0; i < count; ++i) {
    CBasePin* pin = PinAt(i);
    if (pin && pin->IsConnected()) return VFW_S_CANT_CUE;
  }
  return S_OK;
}

LONG CSource::PinCount() {
  auto guard = pin_list_lock_.Lock();
  return pin_count_;
}

CBasePin* CSource::PinAt(LONG index) {
  auto guard = pin_list_lock_.Lock();
  if (index < 0 || index >= pin_count_ || !pins_[index]) return nullptr;
  return static_cast<CBasePin*>(pins_[index]);
}

HRESULT CSource::AttachPin(CSourceStream* pin) noexcept {
  auto guard = state_lock_.Lock();
  auto* grown = new (std::nothrow) CSourceStream*[pin_count_ + 1];
  if (!grown) return E_OUTOFMEMORY;
  auto list_guard = pin_list_lock_.Lock();
  for (LONG i = 0; i < pin_count_; ++i) grown[i] = pins_[i];
  grown[pin_count_] = pin;
  delete[] pins_;
  pins_ = grown;
  ++pin_count_;
  return S_OK;
}

void CSource::DetachPin(CSourceStream* pin) noexcept {
  auto guard = pin_list_lock_.Lock();
  LONG index = 0;
  while (index < pin_count_ && pins_[index] != pin) ++index;
  if (index == pin_count_) return;
  if (pin_count_ == 1) {
    delete[] pins_;
    pins_ = nullptr;
  } else {
    for (LONG i = index; i + 1 < pin_count_; ++i) pins_[i] = pins_[i + 1];
  }
  --pin_count_;
}

LONG CSource::PinPosition(const CSourceStream* pin) const noexcept {
  auto guard = pin_list_lock_.Lock();
  for (LONG i = 0; i < pin_count_; ++i) {
    if (pins_[i] == pin) return i + 1;
  }
  return 0;
}

}  // namespace veltrano::framework
