// A downstream input pin (IPin + IMemInputPin) whose behaviour each test sets through
// the knobs below and whose every call it records. The defaults make a strict peer:
// it accepts any type, has no allocator of its own, and the calls a source pin should
// not make fail the test. Tests that stand in for an application's sink turn on the
// knobs that make it answer like one.
// Lives on the test's stack: its count starts at 1 and it is never deleted.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>
#include <qedit.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/com_test_helpers.h"
#include "platform/com_ptr.h"
#include "platform/unique_handle.h"

namespace veltrano::test {

class FakeInputPin : public IPin, public IMemInputPin {
 public:
  FakeInputPin();
  ~FakeInputPin();
  FakeInputPin(const FakeInputPin&) = delete;
  FakeInputPin& operator=(const FakeInputPin&) = delete;

  // ---- Knobs: the connection ----
  PIN_DIRECTION direction = PINDIR_INPUT;
  HRESULT query_direction_result = S_OK;
  bool has_transport = true;  // answers IID_IMemInputPin
  HRESULT enum_result = S_OK;  // a failure: EnumMediaTypes gives no enumerator
  //! ReceiveConnection accepts only these subtypes (any when empty) ...
  std::vector<GUID> accepted_subtypes;
  //! ... and, when set, only FORMAT_VideoInfo with a whole VIDEOINFOHEADER block.
  bool requires_video_info = false;
  HRESULT refusal = VFW_E_TYPE_NOT_ACCEPTED;  // ReceiveConnection's answer to other types
  //! Keeps the connector (counted) and a shallow copy of the type, as applications'
  //! sinks do. Off: a pin whose source side alone disconnects, so it holds nothing.
  bool remember_connection = true;
  //! Answers ConnectedTo, ConnectionMediaType, QueryPinInfo, QueryAccept,
  //! QueryInternalConnections, ReceiveMultiple and ReceiveCanBlock as an application's
  //! sink does. Off: those calls fail the test.
  bool answers_queries = false;
  HRESULT query_accept_result = S_FALSE;  // QueryAccept's answer when answering queries
  //! Off: BeginFlush, EndFlush and NewSegment fail the test.
  bool expects_flush = true;

  // ---- Knobs: the allocator ----
  IMemAllocator* allocator = nullptr;  // GetAllocator hands it out when set
  HRESULT get_allocator_result = VFW_E_NO_ALLOCATOR;  // used when no allocator is set
  ALLOCATOR_PROPERTIES requirements = {};
  HRESULT requirements_result = E_NOTIMPL;
  HRESULT notify_result = S_OK;
  int notify_failures = 0;  // the first n NotifyAllocator calls answer notify_result; -1: all
  //! Holds the accepted allocator (counted) until Disconnect, as applications' sinks do.
  bool keeps_allocator = false;

  // ---- Knobs: streaming ----
  std::atomic<HRESULT> receive_result{S_OK};
  //! Samples shorter than this are answered S_FALSE (applications drop partial frames).
  LONG drop_shorter_than = 0;
  std::atomic<bool> hold_samples{false};  // keeps a reference to every sample received
  //! Runs inside Receive, on the delivering thread, after the sample is recorded and
  //! before it is counted (set before streaming).
  std::function<void()> on_receive;
  //! BeginFlush and EndFlush record whether the thread that delivered the first
  //! sample is still alive, and BeginFlush whether the kept allocator is committed.
  bool watches_flush = false;

  // ---- Records ----
  struct Received {
    LONG frame;  // the first four bytes (test sources write the frame number), or -1
    REFERENCE_TIME start;  // -1 when the sample has no times
    REFERENCE_TIME end;
    bool discontinuity;
    LONG length;
    int64_t real_time;  // performance counter at arrival, in 100 ns units
    BYTE first_bytes[8];
  };
  LONG ref_count() const noexcept { return ref_count_.load(); }
  IPin* connector() const noexcept { return connector_; }
  //! The type as the pin stored it: a shallow copy whose format block belongs to
  //! whoever handed it over.
  const AM_MEDIA_TYPE& stored_type() const noexcept { return stored_type_; }
  IMemAllocator* kept_allocator() const noexcept { return kept_allocator_.get(); }
  LONG receive_count() const noexcept { return receive_count_.load(); }
  LONG end_of_stream_count() const noexcept { return end_of_stream_count_.load(); }
  IMediaSample* last_sample() const;  // not counted: compared only
  std::vector<Received> received() const;
  std::vector<LONG> frames() const;
  //! ReceiveConnection (accepted), Disconnect, EndOfStream, BeginFlush, EndFlush.
  std::vector<std::string> events() const;
  int enum_calls = 0;
  std::vector<GUID> receive_connection_subtypes;  // every type offered, in order
  const AM_MEDIA_TYPE* received_pointer = nullptr;
  int disconnects = 0;
  int get_allocator_calls = 0;
  int notify_calls = 0;
  IMemAllocator* notified_allocator = nullptr;  // not counted: compared only
  BOOL notified_read_only = TRUE;
  int begin_flushes = 0;
  int end_flushes = 0;
  int new_segments = 0;
  REFERENCE_TIME segment_start = 0;
  REFERENCE_TIME segment_stop = 0;
  double segment_rate = 0.0;
  std::atomic<int> worker_alive_at_begin_flush{-1};
  std::atomic<int> worker_alive_at_end_flush{-1};
  std::atomic<int> committed_at_begin_flush{-1};

  //! Adds a type (deep copy) to those EnumMediaTypes lists, or forgets them all.
  void Offer(const AM_MEDIA_TYPE& type);
  void ClearOffers();
  //! Waits (at most `timeout_ms`) until `count` samples have been received in total.
  bool WaitForReceives(LONG count, DWORD timeout_ms = 10000) const;
  //! Waits (at most `timeout_ms`) for the first end-of-stream.
  bool WaitForEndOfStream(DWORD timeout_ms = 10000) const;
  //! Releases the samples kept so far.
  void ReleaseHeldSamples();
  //! Makes room for `count` sample records up front, so that recording allocates
  //! nothing while a test measures the heap.
  void ReserveRecords(size_t count);

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
  void Log(const char* event);
  int WorkerAlive();
  bool WaitUntil(const std::function<bool()>& done, DWORD timeout_ms) const;

  std::atomic<LONG> ref_count_{1};
  std::atomic<LONG> receive_count_{0};
  std::atomic<LONG> end_of_stream_count_{0};
  IPin* connector_ = nullptr;  // counted
  AM_MEDIA_TYPE stored_type_ = {};
  platform::ComPtr<IMemAllocator> kept_allocator_;
  std::vector<AM_MEDIA_TYPE> offered_;  // owned deep copies
  mutable std::mutex mutex_;  // guards what the delivering thread records
  std::vector<Received> received_;
  std::vector<IMediaSample*> held_;
  IMediaSample* last_sample_ = nullptr;
  std::vector<std::string> events_;
  platform::UniqueHandle worker_thread_;
  platform::UniqueHandle changed_;  // auto reset: set at every sample and end-of-stream
};

//! A sample grabber's callback that hands every sample to a FakeInputPin, which
//! records it and can keep it (so that the upstream allocator runs out of buffers).
class GrabberCallback final : public StackUnknown<ISampleGrabberCB, IID_ISampleGrabberCB> {
 public:
  STDMETHODIMP SampleCB(double, IMediaSample* sample) override {
    samples.Receive(sample);
    return S_OK;
  }
  STDMETHODIMP BufferCB(double, BYTE*, long) override {
    ADD_FAILURE() << "unexpected ISampleGrabberCB::BufferCB";
    return E_UNEXPECTED;
  }

  FakeInputPin samples;
};

}  // namespace veltrano::test
