// The framework's filter: IBaseFilter (with IMediaFilter and IPersist) and
// IAMovieSetup. Keeps the filter state and drives its pins through Stop, Pause and
// Run, holds the reference clock and start time, and remembers its graph and the
// graph's event sink (both uncounted).
// Threads: application/graph threads call IBaseFilter; state changes hold the filter
// lock across the pins' worker handshakes. GetStreamTime runs on worker threads and
// never takes the filter lock.
#pragma once

#include <dshow.h>

#include <atomic>

#include "framework/unknown.h"
#include "platform/com_ptr.h"
#include "platform/critical_section.h"

namespace veltrano::framework {

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
 public:
  CBaseFilter(IUnknown* outer, REFCLSID clsid, platform::CriticalSection* filter_lock) noexcept;
  ~CBaseFilter() override;

  // INonDelegatingUnknown: IBaseFilter/IMediaFilter/IPersist, IAMovieSetup, IUnknown.
  STDMETHODIMP InnerQueryInterface(REFIID iid, void** out) override;

  // IUnknown (delegating)
  VELTRANO_DELEGATING_UNKNOWN

  // IPersist
  STDMETHODIMP GetClassID(CLSID* out) override;
  // IMediaFilter
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;
  STDMETHODIMP GetState(DWORD timeout_ms, FILTER_STATE* out) override;
  STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock** out) override;
  // IBaseFilter
  STDMETHODIMP EnumPins(IEnumPins** out) override;
  STDMETHODIMP FindPin(LPCWSTR id, IPin** out) override;
  STDMETHODIMP QueryFilterInfo(FILTER_INFO* out) override;
  STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
  STDMETHODIMP QueryVendorInfo(LPWSTR* out) override;
  // IAMovieSetup
  STDMETHODIMP Register() override;
  STDMETHODIMP Unregister() override;

  // Virtual operations, in slot order.
  //! Reference-clock time minus the start time; VFW_E_NO_CLOCK without a clock.
  //! Takes no filter lock (worker threads call it).
  virtual HRESULT GetStreamTime(REFERENCE_TIME* out);
  virtual LONG PinListVersion();
  virtual LONG PinCount() = 0;
  //! The pin at `index` without a reference, or null.
  virtual CBasePin* PinAt(LONG index) = 0;
  //! Registration description; null (registration goes through the module exports).
  virtual const void* SetupData();

  FILTER_STATE state() const noexcept { return state_.load(); }
  platform::CriticalSection* filter_lock() const noexcept { return filter_lock_; }
  IFilterGraph* graph() const noexcept;
  IMediaEventSink* event_sink() const noexcept { return event_sink_.load(); }

 private:
  std::atomic<FILTER_STATE> state_{State_Stopped};  // written under the filter lock
  platform::ComPtr<IReferenceClock> clock_;
  // Guards clock_ only, briefly, so that GetStreamTime on the worker can take its own
  // reference on the clock while SetSyncSource swaps it; never held across a call out.
  platform::CriticalSection clock_lock_;
  std::atomic<REFERENCE_TIME> start_time_{0};  // written by Run, read by workers
  const CLSID clsid_;
  platform::CriticalSection* const filter_lock_;  // not owned
  // Guards name_ and graph_ for QueryFilterInfo, which takes no filter lock (a
  // callback on the worker may call it while Stop holds that lock). Never held
  // across a call out.
  mutable platform::CriticalSection info_lock_;
  wchar_t* name_ = nullptr;
  IFilterGraph* graph_ = nullptr;         // not counted: the graph holds us
  std::atomic<IMediaEventSink*> event_sink_{nullptr};  // not counted, same reason; read by workers
  LONG pin_list_version_ = 1;
};

}  // namespace veltrano::framework
