// A downstream input pin (IPin + IMemInputPin) with which the pin tests control a
// connection: its direction, whether it has a transport, the types it offers and
// accepts, its allocator and the results of each step. It records every call and,
// like the sink pins of real capture applications, keeps only a shallow copy of the
// type it is given in ReceiveConnection. Calls a source pin never makes are faults.
// Lives on the test's stack: its count starts at 1 and it is never deleted.
#pragma once

#include <dshow.h>

#include <atomic>
#include <vector>

#include "framework/media_type_record.h"

namespace veltrano::pin_test {

class FakeInputPin final : public IPin, public IMemInputPin {
 public:
  FakeInputPin() = default;
  ~FakeInputPin();
  FakeInputPin(const FakeInputPin&) = delete;
  FakeInputPin& operator=(const FakeInputPin&) = delete;

  LONG ref_count() const noexcept { return ref_count_.load(); }
  //! Adds a type to those EnumMediaTypes lists (deep copy).
  void Offer(const AM_MEDIA_TYPE& type);
  //! Makes ReceiveConnection accept only types of these subtypes (all when empty).
  std::vector<GUID> accepted_subtypes;

  // Configuration.
  PIN_DIRECTION direction = PINDIR_INPUT;
  HRESULT query_direction_result = S_OK;
  bool has_transport = true;  // answers IID_IMemInputPin
  HRESULT enum_result = S_OK;  // a failure: EnumMediaTypes gives no enumerator
  HRESULT refusal = VFW_E_TYPE_NOT_ACCEPTED;  // ReceiveConnection's answer to other subtypes
  ALLOCATOR_PROPERTIES requirements = {};
  HRESULT requirements_result = E_NOTIMPL;
  IMemAllocator* allocator = nullptr;  // GetAllocator hands it out when set
  HRESULT get_allocator_result = VFW_E_NO_ALLOCATOR;  // used when no allocator is set
  HRESULT notify_result = S_OK;
  int notify_failures = 0;  // the first n NotifyAllocator calls answer notify_result; -1: all
  HRESULT receive_result = S_OK;

  // Record.
  int enum_calls = 0;
  std::vector<GUID> receive_connection_subtypes;  // every type offered, in order
  AM_MEDIA_TYPE shallow_type = {};  // shallow copy of the accepted type, as sinks keep it
  const AM_MEDIA_TYPE* received_pointer = nullptr;
  IPin* connector = nullptr;  // one reference while connected (tests disconnect)
  int disconnects = 0;
  int get_allocator_calls = 0;
  int notify_calls = 0;
  IMemAllocator* notified_allocator = nullptr;  // no reference: compared only
  BOOL notified_read_only = TRUE;
  int receives = 0;
  IMediaSample* received_sample = nullptr;  // no reference: compared only
  int end_of_streams = 0;
  int begin_flushes = 0;
  int end_flushes = 0;
  int new_segments = 0;
  REFERENCE_TIME segment_start = 0;
  REFERENCE_TIME segment_stop = 0;
  double segment_rate = 0.0;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++ref_count_); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--ref_count_); }
  // IPin
  STDMETHODIMP Connect(IPin* peer, const AM_MEDIA_TYPE* type) override;
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
  // IMemInputPin
  STDMETHODIMP GetAllocator(IMemAllocator** out) override;
  STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL read_only) override;
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* out) override;
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP ReceiveMultiple(IMediaSample** samples, long count, long* processed) override;
  STDMETHODIMP ReceiveCanBlock() override;

 private:
  friend class FakeTypeEnumerator;
  std::atomic<LONG> ref_count_{1};
  std::vector<framework::CMediaTypeRecord*> offered_;  // owned
};

}  // namespace veltrano::pin_test
