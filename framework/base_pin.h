// The framework's pin: identity (name, direction, owning filter), the connection to
// a peer pin, the agreed media type and the current segment, behind IPin and
// IQualityControl. Derived pins fill in the virtual hooks.
// Threads: application/graph threads call IPin; connection methods hold the pin lock
// (the owning filter's state lock). The pin's reference counting is forwarded to its
// filter, so a pin lives exactly as long as the filter.
#pragma once

#include <dshow.h>

#include "framework/media_type_record.h"
#include "framework/unknown.h"
#include "platform/com_ptr.h"
#include "platform/critical_section.h"

namespace veltrano::framework {

class CBaseFilter;

class CBasePin : public CUnknown, public IPin, public IQualityControl {
 public:
  //! Copies `name`; a failed copy is reported through `result` (first failure kept).
  CBasePin(CBaseFilter* filter, platform::CriticalSection* lock, const wchar_t* name, PIN_DIRECTION direction,
           HRESULT* result) noexcept;
  ~CBasePin() override;

  // INonDelegatingUnknown: IPin, IQualityControl, IUnknown; counts go to the filter.
  STDMETHODIMP InnerQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) InnerAddRef() override;
  STDMETHODIMP_(ULONG) InnerRelease() override;

  // IUnknown (delegating, through the owner)
  VELTRANO_DELEGATING_UNKNOWN

  // IPin
  STDMETHODIMP Connect(IPin* peer, const AM_MEDIA_TYPE* proposed) override;
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin** out) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* out) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO* out) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION* out) override;
  STDMETHODIMP QueryId(LPWSTR* out) override;
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override;
  STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

  // IQualityControl
  STDMETHODIMP Notify(IBaseFilter* sender, Quality quality) override;
  STDMETHODIMP SetSink(IQualityControl* sink) override;

  // Virtual hooks, in slot order.
  //! Version of the offered type list; enumerators compare it.
  virtual LONG TypeListVersion();
  //! Filter leaves Stopped (connected pins only).
  virtual HRESULT OnActivate();
  //! Filter returns to Stopped (connected pins only).
  virtual HRESULT OnDeactivate();
  //! Filter runs from `start`.
  virtual HRESULT OnRunning(REFERENCE_TIME start);
  //! Filter goes from Running back to Paused (connected pins only).
  virtual HRESULT OnPausing();
  //! S_OK when `type` is acceptable for this pin.
  virtual HRESULT ValidateMediaType(const AM_MEDIA_TYPE* type) = 0;
  //! Stores an agreed type as the current media type.
  virtual HRESULT AdoptMediaType(const AM_MEDIA_TYPE* type);
  //! Checks the peer before a type is tried.
  virtual HRESULT ValidatePeer(IPin* peer);
  //! Gives back what a connection holds (allocator, transport).
  virtual HRESULT ReleaseConnection();
  //! Last step of a connection, after the peer accepted the type.
  virtual HRESULT FinishConnection(IPin* peer);
  //! The offered type at `position` into `type` (default state on entry).
  virtual HRESULT MediaTypeAt(LONG position, CMediaTypeRecord* type) = 0;

  bool IsConnected() const noexcept { return connected_pin_.get() != nullptr; }
  CBaseFilter* filter() const noexcept { return filter_; }
  platform::CriticalSection* lock() const noexcept { return lock_; }
  PIN_DIRECTION direction() const noexcept { return direction_; }
  const wchar_t* name() const noexcept { return name_; }

  //! Copies the current media type into `target` (fresh storage) under the type
  //! lock, which is never held across calls out of the pin: safe from a downstream
  //! callback on the worker thread while Stop holds the state lock.
  HRESULT CopyCurrentMediaType(AM_MEDIA_TYPE* target) const noexcept;
  //! Replaces the current media type with a deep copy of `type` under the type lock.
  //! E_OUTOFMEMORY leaves the previous type in place.
  HRESULT ReplaceCurrentMediaType(const AM_MEDIA_TYPE* type) noexcept;

 protected:
  IPin* connected_pin() const noexcept { return connected_pin_.get(); }
  //! The current media type. Read it directly only where no concurrent replacement
  //! is possible (the worker while streaming, connection code under the pin lock).
  const CMediaTypeRecord& current_media_type() const noexcept { return current_media_type_; }

 private:
  HRESULT AgreeConnectionType(IPin* peer, const AM_MEDIA_TYPE* proposed);
  HRESULT TryEnumeratedTypes(IPin* peer, const AM_MEDIA_TYPE* proposed, IEnumMediaTypes* types);
  HRESULT AttemptConnection(IPin* peer, const AM_MEDIA_TYPE* type);
  bool FilterIsStopped() const noexcept;
  //! Stores (with a reference) or clears the peer; the old one is released outside the type lock.
  void SetConnectedPin(IPin* peer) noexcept;
  //! Exchanges the current media type with `other` under the type lock; allocates nothing.
  void SwapCurrentMediaType(CMediaTypeRecord* other) noexcept;
  //! Keeps a copy of the current type in `previous`, then adopts `type`; `adopted`
  //! tells whether the current type changed.
  HRESULT AdoptForAttempt(const AM_MEDIA_TYPE* type, CMediaTypeRecord* previous, bool* adopted) noexcept;

  wchar_t* name_ = nullptr;
  platform::ComPtr<IPin> connected_pin_;
  const PIN_DIRECTION direction_;
  platform::CriticalSection* const lock_;
  bool reconnect_while_active_ = false;
  bool try_own_types_first_ = false;
  CBaseFilter* const filter_;          // not counted: the filter owns its pins
  IQualityControl* quality_sink_ = nullptr;  // not counted, never read
  LONG type_list_version_ = 1;
  CMediaTypeRecord current_media_type_;
  // The copy handed to the peer's ReceiveConnection, kept until the connection ends:
  // sinks may keep only a shallow copy of it, so it must outlive the attempt and must
  // not be the current media type, which SetFormat may replace while connected.
  CMediaTypeRecord connection_type_;
  mutable platform::CriticalSection type_lock_;
  REFERENCE_TIME segment_start_ = 0;
  REFERENCE_TIME segment_stop_ = 0x7FFFFFFFFFFFFFFF;
  double segment_rate_ = 1.0;
};

}  // namespace veltrano::framework
