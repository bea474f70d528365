// A downstream input pin (IPin + IMemInputPin) that the framework tests control: it
// accepts the connection, leaves the allocator choice to the source pin, records the
// frame numbers it receives and the stream events, and can answer Receive with a
// chosen result, keep the samples it gets, or run a test callback inside Receive (on
// the worker thread). Any call the framework should not make fails the test.
// Lives on the test's stack: its count starts at 1 and it is never deleted.
#pragma once

#include <dshow.h>

#include <atomic>
#include <functional>
#include <vector>

#include "platform/critical_section.h"
#include "platform/unique_handle.h"

namespace veltrano::source_test {

class FakeSinkPin final : public IPin, public IMemInputPin {
 public:
  FakeSinkPin();
  ~FakeSinkPin();
  FakeSinkPin(const FakeSinkPin&) = delete;
  FakeSinkPin& operator=(const FakeSinkPin&) = delete;

  LONG ref_count() const noexcept { return ref_count_.load(); }
  LONG receive_count() const noexcept { return receive_count_.load(); }
  LONG end_of_stream_count() const noexcept { return end_of_stream_count_.load(); }
  std::vector<LONG> frames() const;
  //! Waits (at most `timeout_ms`) until `count` samples have been received.
  bool WaitForReceives(LONG count, DWORD timeout_ms = 10000) const;
  //! Waits (at most `timeout_ms`) for the first end-of-stream.
  bool WaitForEndOfStream(DWORD timeout_ms = 10000) const;
  //! Releases the samples kept so far.
  void ReleaseHeldSamples();

  std::atomic<HRESULT> receive_result{S_OK};
  std::atomic<bool> hold_samples{false};
  //! Runs inside Receive, on the worker, after the sample is recorded (set before streaming).
  std::function<void()> on_receive;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
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
  std::atomic<LONG> ref_count_{1};
  std::atomic<LONG> receive_count_{0};
  std::atomic<LONG> end_of_stream_count_{0};
  mutable platform::CriticalSection lock_;
  std::vector<LONG> frames_;
  std::vector<IMediaSample*> held_;
  platform::UniqueHandle received_;      // auto reset: set on every Receive
  platform::UniqueHandle end_of_stream_;  // manual reset
};

}  // namespace veltrano::source_test
