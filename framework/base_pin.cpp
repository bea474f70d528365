// The framework pin: IPin and IQualityControl over the virtual hooks, and the
// connection algorithm (agree a type, hand it to the peer, finish, or undo it all).
#include "framework/base_pin.h"

#include <cwchar>
#include <new>
#include <utility>

#include "framework/base_filter.h"
#include "framework/enum_media_types.h"

namespace veltrano::framework {
namespace {

// Holds the pin lock for a scope; a pin made without a lock runs unguarded.
class [[nodiscard]] PinLockGuard {
 public:
  explicit PinLockGuard(platform::CriticalSection* lock) noexcept : lock_(lock) {
    if (lock_) lock_->Enter();
  }
  PinLockGuard(const PinLockGuard&) = delete;
  PinLockGuard& operator=(const PinLockGuard&) = delete;
  ~PinLockGuard() {
    if (lock_) lock_->Leave();
  }

 private:
  platform::CriticalSection* lock_;
};

// The refusals that only say "not this type": they never become the reported result.
bool IsGenericRefusal(HRESULT hr) noexcept {
  return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED;
}

// ValidateMediaType's answer as a connection result: anything but S_OK refuses, and
// vague refusals (other success codes, E_FAIL, E_INVALIDARG) read as "type not accepted".
HRESULT TypeRefusal(HRESULT hr) noexcept {
  if (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) return VFW_E_TYPE_NOT_ACCEPTED;
  return hr;
}

}  // namespace

CBasePin::CBasePin(CBaseFilter* filter, platform::CriticalSection* lock, const wchar_t* name,
                   PIN_DIRECTION direction, HRESULT* result) noexcept
    : CUnknown(nullptr), direction_(direction), lock_(lock), filter_(filter) {
  if (name) {
    const size_t length = std::wcslen(name);
    name_ = new (std::nothrow) wchar_t[length + 1];
    if (name_) {
      std::wmemcpy(name_, name, length + 1);
    } else {
      StoreResult(result, E_OUTOFMEMORY);
    }
  }
}

CBasePin::~CBasePin() { delete[] name_; }

STDMETHODIMP CBasePin::InnerQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IPin) return HandOutInterface(static_cast<IPin*>(this), out);
  if (iid == IID_IQualityControl) return HandOutInterface(static_cast<IQualityControl*>(this), out);
  if (iid == IID_IUnknown) return HandOutInterface(inner_unknown(), out);
  *out = nullptr;
  return E_NOINTERFACE;
}

// A pin lives exactly as long as its filter: its references are the filter's. A pin
// made without a filter (tests, helpers) counts on its own.
STDMETHODIMP_(ULONG) CBasePin::InnerAddRef() {
  if (filter_) return static_cast<IBaseFilter*>(filter_)->AddRef();
  return CUnknown::InnerAddRef();
}

STDMETHODIMP_(ULONG) CBasePin::InnerRelease() {
  if (filter_) return static_cast<IBaseFilter*>(filter_)->Release();
  return CUnknown::InnerRelease();
}

bool CBasePin::FilterIsStopped() const noexcept { return !filter_ || filter_->state() == State_Stopped; }

void CBasePin::SetConnectedPin(IPin* peer) noexcept {
  platform::ComPtr<IPin> replacement(peer);
  {
    // The type lock makes the pair (connected pin, current type) consistent for
    // ConnectionMediaType, which does not take the pin lock.
    auto guard = type_lock_.Lock();
    connected_pin_.swap(replacement);
  }
  // The old peer, if any, is released here, outside the lock.
}

STDMETHODIMP CBasePin::Connect(IPin* peer, const AM_MEDIA_TYPE* proposed) {
  if (!peer) return E_POINTER;
  PinLockGuard guard(lock_);
  if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
  if (!FilterIsStopped() && !reconnect_while_active_) return VFW_E_NOT_STOPPED;
  const HRESULT hr = AgreeConnectionType(peer, proposed);
  if (FAILED(hr)) {
    ReleaseConnection();
    return hr;
  }
  return S_OK;
}

HRESULT CBasePin::AgreeConnectionType(IPin* peer, const AM_MEDIA_TYPE* proposed) {
  const bool fully_specified =
      proposed && proposed->majortype != GUID_NULL && proposed->formattype != GUID_NULL;
  if (fully_specified) return AttemptConnection(peer, proposed);

  HRESULT result = VFW_E_NO_ACCEPTABLE_TYPES;
  for (int pass = 0; pass < 2; ++pass) {
    platform::ComPtr<IEnumMediaTypes> types;
    const bool from_peer = pass == (try_own_types_first_ ? 1 : 0);
    const HRESULT got = from_peer ? peer->EnumMediaTypes(types.put()) : EnumMediaTypes(types.put());
    if (FAILED(got) || !types) continue;
    const HRESULT hr = TryEnumeratedTypes(peer, proposed, types.get());
    if (SUCCEEDED(hr)) return S_OK;
    if (!IsGenericRefusal(hr)) result = hr;
  }
  return result;
}

HRESULT CBasePin::TryEnumeratedTypes(IPin* peer, const AM_MEDIA_TYPE* proposed, IEnumMediaTypes* types) {
  HRESULT hr = types->Reset();
  if (FAILED(hr)) return hr;
  HRESULT remembered = S_OK;  // S_OK: no failure remembered yet
  for (;;) {
    AM_MEDIA_TYPE* type = nullptr;
    ULONG fetched = 0;
    if (types->Next(1, &type, &fetched) != S_OK) break;
    HRESULT outcome = VFW_E_NO_ACCEPTABLE_TYPES;
    if (type && TypeFitsPattern(*type, proposed)) {
      outcome = AttemptConnection(peer, type);
      if (FAILED(outcome) && remembered == S_OK && !IsGenericRefusal(outcome)) remembered = outcome;
    }
    DeleteMediaType(type);
    // Any success means the pin is now connected; trying a further type would
    // connect it a second time over the first connection.
    if (SUCCEEDED(outcome)) return S_OK;
  }
  return remembered != S_OK ? remembered : VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CBasePin::AttemptConnection(IPin* peer, const AM_MEDIA_TYPE* type) {
  HRESULT hr = ValidatePeer(peer);
  if (FAILED(hr)) {
    ReleaseConnection();
    return hr;
  }
  CMediaTypeRecord previous;
  bool adopted = false;
  hr = ValidateMediaType(type);
  if (hr != S_OK) {
    hr = TypeRefusal(hr);
  } else {
    SetConnectedPin(peer);
    hr = AdoptForAttempt(type, &previous, &adopted);
    // The peer gets a copy of its own that lives as long as the connection: a sink
    // may keep just a shallow copy, and `type` may be an enumerated record freed
    // right after this attempt. It is the type as adopted (the adoption succeeded to
    // get here), which a pin may have completed where the type left fields open.
    if (SUCCEEDED(hr)) hr = connection_type_.Assign(&current_media_type_);
    if (SUCCEEDED(hr)) hr = peer->ReceiveConnection(static_cast<IPin*>(this), &connection_type_);
    if (SUCCEEDED(hr)) {
      hr = FinishConnection(peer);
      if (SUCCEEDED(hr)) return hr;
      peer->Disconnect();
    }
  }
  ReleaseConnection();
  SetConnectedPin(nullptr);
  if (adopted) SwapCurrentMediaType(&previous);
  connection_type_.ResetToDefault();
  return hr;
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
  if (!connector || !type) return E_POINTER;
  PinLockGuard guard(lock_);
  if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
  if (!FilterIsStopped() && !reconnect_while_active_) return VFW_E_NOT_STOPPED;
  HRESULT hr = ValidatePeer(connector);
  if (FAILED(hr)) {
    ReleaseConnection();
    return hr;
  }
  hr = ValidateMediaType(type);
  if (hr != S_OK) {
    ReleaseConnection();
    return TypeRefusal(hr);
  }
  SetConnectedPin(connector);
  CMediaTypeRecord previous;
  bool adopted = false;
  hr = AdoptForAttempt(type, &previous, &adopted);
  if (SUCCEEDED(hr)) hr = FinishConnection(connector);
  if (SUCCEEDED(hr)) return S_OK;
  SetConnectedPin(nullptr);
  ReleaseConnection();
  if (adopted) SwapCurrentMediaType(&previous);
  return hr;
}

STDMETHODIMP CBasePin::Disconnect() {
  PinLockGuard guard(lock_);
  if (!FilterIsStopped()) return VFW_E_NOT_STOPPED;
  if (!IsConnected()) return S_FALSE;
  const HRESULT hr = ReleaseConnection();
  if (FAILED(hr)) return hr;
  SetConnectedPin(nullptr);
  connection_type_.ResetToDefault();
  return S_OK;
}

STDMETHODIMP CBasePin::ConnectedTo(IPin** out) {
  if (!out) return E_POINTER;
  // The type lock (never the pin lock) keeps a concurrent Disconnect from releasing
  // the peer between reading the pointer and adding our reference to it.
  auto guard = type_lock_.Lock();
  IPin* peer = connected_pin_.get();
  *out = peer;
  if (!peer) return VFW_E_NOT_CONNECTED;
  peer->AddRef();
  return S_OK;
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* out) {
  if (!out) return E_POINTER;
  // Only the type lock: a sink may call this from inside Receive on the worker while
  // Stop holds the pin lock and waits for that worker.
  auto guard = type_lock_.Lock();
  if (!IsConnected()) {
    const CMediaTypeRecord defaults;  // owns nothing, so a plain copy is safe
    *out = defaults;
    return VFW_E_NOT_CONNECTED;
  }
  if (FAILED(DuplicateMediaType(out, &current_media_type_))) {
    // Not a usable copy: hand back no reference either, the caller will not free it.
    FreeMediaTypeContents(out);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO* out) {
  if (!out) return E_POINTER;
  out->pFilter = filter_ ? static_cast<IBaseFilter*>(filter_) : nullptr;
  if (out->pFilter) out->pFilter->AddRef();
  constexpr size_t kLongest = MAX_PIN_NAME - 1;
  size_t length = 0;
  if (name_) {
    while (length < kLongest && name_[length] != L'\0') ++length;
    std::wmemcpy(out->achName, name_, length);
  }
  out->achName[length] = L'\0';
  out->dir = direction_;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION* out) {
  if (!out) return E_POINTER;
  *out = direction_;
  return S_OK;
}

// Without a position in a filter's pin list, the pin's name is its identifier.
STDMETHODIMP CBasePin::QueryId(LPWSTR* out) {
  if (!out) return E_POINTER;
  const wchar_t* name = name_ ? name_ : L"";
  const size_t length = std::wcslen(name);
  *out = static_cast<LPWSTR>(::CoTaskMemAlloc((length + 1) * sizeof(wchar_t)));
  if (!*out) return E_OUTOFMEMORY;
  std::wmemcpy(*out, name, length + 1);
  return S_OK;
}

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  const HRESULT hr = ValidateMediaType(type);
  return FAILED(hr) ? S_FALSE : hr;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes** out) { return CEnumMediaTypes::Create(this, out); }

STDMETHODIMP CBasePin::QueryInternalConnections(IPin** pins, ULONG* count) { return E_NOTIMPL; }

// An output pin receives no stream events.
STDMETHODIMP CBasePin::EndOfStream() { return E_UNEXPECTED; }
STDMETHODIMP CBasePin::BeginFlush() { return E_UNEXPECTED; }
STDMETHODIMP CBasePin::EndFlush() { return E_UNEXPECTED; }

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  segment_start_ = start;
  segment_stop_ = stop;
  segment_rate_ = rate;
  return S_OK;
}

STDMETHODIMP CBasePin::Notify(IBaseFilter* sender, Quality quality) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::SetSink(IQualityControl* sink) {
  PinLockGuard guard(lock_);
  quality_sink_ = sink;
  return S_OK;
}

LONG CBasePin::TypeListVersion() { return type_list_version_; }
HRESULT CBasePin::OnActivate() { return S_OK; }
HRESULT CBasePin::OnDeactivate() { return S_OK; }
HRESULT CBasePin::OnRunning(REFERENCE_TIME start) { return S_OK; }
HRESULT CBasePin::OnPausing() { return S_OK; }
HRESULT CBasePin::AdoptMediaType(const AM_MEDIA_TYPE* type) { return ReplaceCurrentMediaType(type); }

HRESULT CBasePin::ValidatePeer(IPin* peer) {
  if (!peer) return E_POINTER;
  PIN_DIRECTION direction = direction_;
  const HRESULT hr = peer->QueryDirection(&direction);
  if (FAILED(hr)) return hr;
  return direction == direction_ ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::ReleaseConnection() { return S_OK; }
HRESULT CBasePin::FinishConnection(IPin* peer) { return S_OK; }

HRESULT CBasePin::CopyCurrentMediaType(AM_MEDIA_TYPE* target) const noexcept {
  if (!target) return E_POINTER;
  auto guard = type_lock_.Lock();
  return DuplicateMediaType(target, &current_media_type_);
}

HRESULT CBasePin::ReplaceCurrentMediaType(const AM_MEDIA_TYPE* type) noexcept {
  if (!type) return E_POINTER;
  // Copy outside the lock; a failed copy leaves the previous type in place.
  CMediaTypeRecord replacement;
  if (FAILED(replacement.Assign(type))) return E_OUTOFMEMORY;
  SwapCurrentMediaType(&replacement);
  // The previous type's contents go with `replacement`, outside the lock.
  return S_OK;
}

void CBasePin::SwapCurrentMediaType(CMediaTypeRecord* other) noexcept {
  auto guard = type_lock_.Lock();
  std::swap(static_cast<AM_MEDIA_TYPE&>(current_media_type_), static_cast<AM_MEDIA_TYPE&>(*other));
}

HRESULT CBasePin::AdoptForAttempt(const AM_MEDIA_TYPE* type, CMediaTypeRecord* previous, bool* adopted) noexcept {
  // The type before the attempt goes back if the attempt fails: a refused peer must
  // not take away a format chosen earlier (by SetFormat, or a former connection).
  // Only the pin lock changes the current type, and the caller holds it.
  if (FAILED(previous->Assign(&current_media_type_))) return E_OUTOFMEMORY;
  const HRESULT hr = AdoptMediaType(type);
  *adopted = SUCCEEDED(hr);
  return hr;
}

}  // namespace veltrano::framework
