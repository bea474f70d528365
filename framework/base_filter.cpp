// The framework's filter: state machine, reference clock, graph membership, pins.
#include "framework/base_filter.h"

#include <cwchar>
#include <limits>
#include <new>

#include "framework/base_pin.h"
#include "framework/enum_pins.h"

namespace veltrano::framework {
namespace {

// Longest filter name JoinFilterGraph accepts, in characters before the terminator.
constexpr size_t kMaxNameLength = 2147483646;

}  // namespace

CBaseFilter::CBaseFilter(IUnknown* outer, REFCLSID clsid, platform::CriticalSection* filter_lock) noexcept
    : CUnknown(outer), clsid_(clsid), filter_lock_(filter_lock) {}

CBaseFilter::~CBaseFilter() { delete[] name_; }

STDMETHODIMP CBaseFilter::InnerQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IBaseFilter || iid == IID_IMediaFilter || iid == IID_IPersist) {
    return HandOutInterface(static_cast<IBaseFilter*>(this), out);
  }
  if (iid == IID_IAMovieSetup) return HandOutInterface(static_cast<IAMovieSetup*>(this), out);
  return CUnknown::InnerQueryInterface(iid, out);
}

STDMETHODIMP CBaseFilter::GetClassID(CLSID* out) {
  if (!out) return E_POINTER;
  *out = clsid_;
  return S_OK;
}

STDMETHODIMP CBaseFilter::Stop() {
  auto guard = filter_lock_->Lock();
  HRESULT first_failure = S_OK;
  if (state_.load() != State_Stopped) {
    const LONG count = PinCount();
    for (LONG i = 0; i < count; ++i) {
      CBasePin* pin = PinAt(i);
      if (!pin) break;
      if (!pin->IsConnected()) continue;
      // Every connected pin is stopped, whatever an earlier one reported.
      const HRESULT hr = pin->OnDeactivate();
      if (FAILED(hr) && SUCCEEDED(first_failure)) first_failure = hr;
    }
  }
  state_.store(State_Stopped);
  return first_failure;
}

STDMETHODIMP CBaseFilter::Pause() {
  auto guard = filter_lock_->Lock();
  const FILTER_STATE from = state_.load();
  HRESULT first_failure = S_OK;
  if (from != State_Paused) {
    const LONG count = PinCount();
    for (LONG i = 0; i < count; ++i) {
      CBasePin* pin = PinAt(i);
      if (!pin) break;
      if (!pin->IsConnected()) continue;
      // From Stopped the pins get ready to deliver, and the first failure leaves the
      // filter stopped.
      if (from == State_Stopped) {
        const HRESULT hr = pin->OnActivate();
        if (FAILED(hr)) return hr;
        continue;
      }
      // From Running every connected pin stops delivering whatever an earlier one
      // reported, and the filter is paused, as Stop always stops: a filter left
      // Running would never tell the pins that did stop to deliver again.
      const HRESULT hr = pin->OnPausing();
      if (FAILED(hr) && SUCCEEDED(first_failure)) first_failure = hr;
    }
  }
  state_.store(State_Paused);
  return first_failure;
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME start) {
  auto guard = filter_lock_->Lock();
  // Stored first: a failed Run still leaves the start time it was given.
  start_time_.store(start);
  if (state_.load() == State_Stopped) {
    const HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
  }
  if (state_.load() != State_Running) {
    const LONG count = PinCount();
    for (LONG i = 0; i < count; ++i) {
      CBasePin* pin = PinAt(i);
      if (!pin) break;
      if (!pin->IsConnected()) continue;
      const HRESULT hr = pin->OnRunning(start);
      if (FAILED(hr)) return hr;
    }
  }
  state_.store(State_Running);
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD timeout_ms, FILTER_STATE* out) {
  if (!out) return E_POINTER;
  *out = state_.load();
  return S_OK;
}

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock* clock) {
  auto guard = filter_lock_->Lock();
  platform::ComPtr<IReferenceClock> incoming(clock);
  {
    auto clock_guard = clock_lock_.Lock();
    clock_.swap(incoming);
  }
  // The old clock is released here, outside the clock lock; a worker that read it
  // meanwhile holds its own reference.
  incoming.reset();
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock** out) {
  if (!out) return E_POINTER;
  auto guard = filter_lock_->Lock();
  auto clock_guard = clock_lock_.Lock();
  return clock_.CopyTo(out);
}

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins** out) { return CEnumPins::Create(this, out); }

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR id, IPin** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!id) return E_POINTER;
  // Read the way _wtoi reads: leading blanks, a sign, digits; no number gives 0.
  // wcstoll saturates instead of overflowing, so huge ids simply find nothing.
  const long long number = std::wcstoll(id, nullptr, 10);
  if (number < 1 || number > 0x7FFFFFFF) return VFW_E_NOT_FOUND;
  CBasePin* pin = PinAt(static_cast<LONG>(number - 1));
  if (!pin) return VFW_E_NOT_FOUND;
  return HandOutInterface(static_cast<IPin*>(pin), reinterpret_cast<void**>(out));
}

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO* out) {
  if (!out) return E_POINTER;
  auto guard = info_lock_.Lock();
  constexpr size_t kLimit = sizeof(out->achName) / sizeof(out->achName[0]) - 1;
  size_t length = 0;
  if (name_) {
    while (length < kLimit && name_[length] != L'\0') ++length;
    wmemcpy(out->achName, name_, length);
  }
  out->achName[length] = L'\0';
  out->pGraph = graph_;
  if (graph_) graph_->AddRef();
  return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
  auto guard = filter_lock_->Lock();
  // The new name is made before anything changes, so that running out of memory
  // leaves the filter exactly as it was.
  wchar_t* new_name = nullptr;
  bool name_too_long = false;
  if (name) {
    const size_t length = wcsnlen(name, kMaxNameLength + 1);
    if (length > kMaxNameLength) {
      name_too_long = true;
    } else {
      new_name = new (std::nothrow) wchar_t[length + 1];
      if (!new_name) return E_OUTOFMEMORY;
      wmemcpy(new_name, name, length + 1);
    }
  }
  IMediaEventSink* sink = nullptr;
  if (graph && SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) && sink) {
    // Kept without a reference: the graph owns us, and its sink lives as long as it.
    sink->Release();
  } else {
    sink = nullptr;
  }
  wchar_t* old_name = nullptr;
  {
    auto info_guard = info_lock_.Lock();
    graph_ = graph;
    old_name = name_;
    name_ = new_name;
  }
  event_sink_.store(sink);
  delete[] old_name;
  return name_too_long ? E_INVALIDARG : S_OK;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR* out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CBaseFilter::Register() {
  // Registration goes through the module's self-registration exports instead.
  if (!SetupData()) return S_FALSE;
  return E_NOTIMPL;
}

STDMETHODIMP CBaseFilter::Unregister() {
  if (!SetupData()) return S_FALSE;
  return E_NOTIMPL;
}

HRESULT CBaseFilter::GetStreamTime(REFERENCE_TIME* out) {
  if (!out) return E_POINTER;
  // Our own reference, taken under the small clock lock, keeps the clock alive while
  // SetSyncSource may replace it; GetTime itself runs outside every lock.
  platform::ComPtr<IReferenceClock> clock;
  {
    auto clock_guard = clock_lock_.Lock();
    clock = clock_;
  }
  if (!clock) return VFW_E_NO_CLOCK;
  REFERENCE_TIME now = 0;
  const HRESULT hr = clock->GetTime(&now);
  if (FAILED(hr)) return hr;
  // Saturated: a start time near the ends of the range must not overflow.
  const REFERENCE_TIME start = start_time_.load();
  if (start < 0 && now > std::numeric_limits<REFERENCE_TIME>::max() + start) {
    *out = std::numeric_limits<REFERENCE_TIME>::max();
  } else if (start > 0 && now < std::numeric_limits<REFERENCE_TIME>::min() + start) {
    *out = std::numeric_limits<REFERENCE_TIME>::min();
  } else {
    *out = now - start;
  }
  return S_OK;
}

LONG CBaseFilter::PinListVersion() { return pin_list_version_; }

const void* CBaseFilter::SetupData() { return nullptr; }

IFilterGraph* CBaseFilter::graph() const noexcept {
  auto guard = info_lock_.Lock();
  return graph_;
}

}  // namespace veltrano::framework
