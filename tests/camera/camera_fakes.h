// Hand-written peers for the camera tests: a media sample, an allocator, a reference
// clock the test moves, a filter graph that records Reconnect, and a downstream sink
// pin whose behaviour copies real capture applications' sinks. Every method a test
// does not expect reports a failure. Fakes live on the test's stack and outlive the
// filter; their counts are plain interlocked counters.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "camera/frame_pacer.h"
#include "platform/com_ptr.h"
#include "platform/critical_section.h"
#include "platform/unique_handle.h"

namespace veltrano::test {

#define VELTRANO_UNEXPECTED(result)                                  \
  do {                                                              \
    ADD_FAILURE() << "unexpected call to " << __func__;             \
    return result;                                                  \
  } while (false)

//! Reference counting for stack-held fakes: counts, never deletes.
class FakeRefCount {
 public:
  ULONG Add() noexcept { return static_cast<ULONG>(::InterlockedIncrement(&count_)); }
  ULONG Drop() noexcept { return static_cast<ULONG>(::InterlockedDecrement(&count_)); }
  LONG count() const noexcept { return count_; }

 private:
  LONG count_ = 1;
};

//! A sample whose buffer is `size` bytes followed by guard bytes that must never be
//! written. GetSize reports `size`.
class FakeSample final : public IMediaSample {
 public:
  static constexpr size_t kGuardBytes = 4096;
  static constexpr BYTE kGuardByte = 0xCD;

  explicit FakeSample(LONG size, BYTE fill = 0x11)
      : size_(size), storage_(static_cast<size_t>(size) + kGuardBytes, kGuardByte) {
    std::fill(storage_.begin(), storage_.begin() + size, fill);
  }
  FakeSample(const FakeSample&) = delete;
  FakeSample& operator=(const FakeSample&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMediaSample) {
      *out = static_cast<IMediaSample*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.Add(); }
  STDMETHODIMP_(ULONG) Release() override { return refs_.Drop(); }

  STDMETHODIMP GetPointer(BYTE** out) override {
    *out = null_pointer_ ? nullptr : storage_.data();
    return null_pointer_ ? E_FAIL : S_OK;
  }
  STDMETHODIMP_(LONG) GetSize() override { return size_; }
  STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override {
    ++set_time_calls;
    if (!start || !end) {
      ADD_FAILURE() << "SetTime without times";
      return E_POINTER;
    }
    start_time = *start;
    end_time = *end;
    return S_OK;
  }
  STDMETHODIMP IsSyncPoint() override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetSyncPoint(BOOL value) override {
    sync_point = value;
    return S_OK;
  }
  STDMETHODIMP IsPreroll() override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetPreroll(BOOL) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP_(LONG) GetActualDataLength() override { VELTRANO_UNEXPECTED(0); }
  STDMETHODIMP SetActualDataLength(LONG length) override {
    actual_length = length;
    return S_OK;
  }
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE**) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP IsDiscontinuity() override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetDiscontinuity(BOOL value) override {
    discontinuity = value;
    return S_OK;
  }
  STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }

  const BYTE* data() const noexcept { return storage_.data(); }
  //! Whether every guard byte past the reported size is intact.
  bool GuardIntact() const noexcept {
    for (size_t i = static_cast<size_t>(size_); i < storage_.size(); ++i) {
      if (storage_[i] != kGuardByte) return false;
    }
    return true;
  }
  void set_null_pointer(bool value) noexcept { null_pointer_ = value; }
  LONG refs() const noexcept { return refs_.count(); }

  REFERENCE_TIME start_time = -1;
  REFERENCE_TIME end_time = -1;
  int set_time_calls = 0;
  BOOL sync_point = -1;
  BOOL discontinuity = -1;
  LONG actual_length = -1;

 private:
  FakeRefCount refs_;
  LONG size_;
  std::vector<BYTE> storage_;
  bool null_pointer_ = false;
};

//! An allocator for SizeBuffers: records the request and grants what the test set.
class FakeAllocator final : public IMemAllocator {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMemAllocator) {
      *out = static_cast<IMemAllocator*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.Add(); }
  STDMETHODIMP_(ULONG) Release() override { return refs_.Drop(); }

  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override {
    ++set_properties_calls;
    if (watched_lock) lock_held = watched_lock->IsOwnedByCurrentThread();
    requested = *request;
    if (FAILED(result)) return result;
    *actual = *request;
    actual->cbBuffer = request->cbBuffer + buffer_delta;
    actual->cBuffers = request->cBuffers + count_delta;
    return result;
  }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP Commit() override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP Decommit() override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override {
    VELTRANO_UNEXPECTED(E_NOTIMPL);
  }
  STDMETHODIMP ReleaseBuffer(IMediaSample*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }

  LONG refs() const noexcept { return refs_.count(); }

  HRESULT result = S_OK;
  LONG buffer_delta = 0;
  LONG count_delta = 0;
  int set_properties_calls = 0;
  ALLOCATOR_PROPERTIES requested = {};
  //! When set, SetProperties records whether this thread held the lock.
  platform::CriticalSection* watched_lock = nullptr;
  bool lock_held = false;

 private:
  FakeRefCount refs_;
};

//! A reference clock the test drives: real time (QueryPerformanceCounter) plus an
//! offset the test may move, or frozen at a value.
class FakeClock final : public IReferenceClock {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IReferenceClock) {
      *out = static_cast<IReferenceClock*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.Add(); }
  STDMETHODIMP_(ULONG) Release() override { return refs_.Drop(); }

  STDMETHODIMP GetTime(REFERENCE_TIME* out) override {
    if (!out) return E_POINTER;
    ++get_time_calls;
    *out = Now();
    return S_OK;
  }
  STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override {
    VELTRANO_UNEXPECTED(E_NOTIMPL);
  }
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override {
    VELTRANO_UNEXPECTED(E_NOTIMPL);
  }
  STDMETHODIMP Unadvise(DWORD_PTR) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }

  REFERENCE_TIME Now() const noexcept {
    return frozen_.load() ? frozen_value_.load() : camera::QueryRealTime() + offset_.load();
  }
  //! Moves the running clock by `delta` (a jump forward or back).
  void Jump(REFERENCE_TIME delta) noexcept { offset_ += delta; }
  //! Stops the clock where it stands.
  void Freeze() noexcept {
    frozen_value_ = Now();
    frozen_ = true;
  }
  //! A frozen clock at exactly `value` (tests that move it by hand).
  void SetFrozen(REFERENCE_TIME value) noexcept {
    frozen_value_ = value;
    frozen_ = true;
  }
  LONG refs() const noexcept { return refs_.count(); }

  std::atomic<int> get_time_calls{0};

 private:
  FakeRefCount refs_;
  std::atomic<REFERENCE_TIME> offset_{0};
  std::atomic<bool> frozen_{false};
  std::atomic<REFERENCE_TIME> frozen_value_{0};
};

//! A filter graph that only records IFilterGraph::Reconnect.
class FakeGraph final : public IFilterGraph {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IFilterGraph) {
      *out = static_cast<IFilterGraph*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;  // the filter asks for IMediaEventSink when joining
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.Add(); }
  STDMETHODIMP_(ULONG) Release() override { return refs_.Drop(); }

  STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP RemoveFilter(IBaseFilter*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP EnumFilters(IEnumFilters**) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP Reconnect(IPin* pin) override {
    ++reconnect_calls;
    if (watched_lock) lock_held = watched_lock->IsOwnedByCurrentThread();
    reconnected_pin = pin;
    return reconnect_result;
  }
  STDMETHODIMP Disconnect(IPin*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetDefaultSyncSource() override { VELTRANO_UNEXPECTED(E_NOTIMPL); }

  LONG refs() const noexcept { return refs_.count(); }

  HRESULT reconnect_result = S_OK;
  int reconnect_calls = 0;
  IPin* reconnected_pin = nullptr;
  //! When set, Reconnect records whether this thread held the lock.
  platform::CriticalSection* watched_lock = nullptr;
  bool lock_held = false;

 private:
  FakeRefCount refs_;
};

//! How a FakeSinkPin lists its media types.
enum class SinkTypes {
  kNone,          // an enumerator that yields nothing
  kPartialVideo,  // one type: major type Video, everything else GUID_NULL, no format block
  kOthersFirst,   // RGB24 640 x 480 and an I420 type, then the camera's own YUY2 type
};

//! A downstream input pin behaving like a capture application's sink: no allocator of
//! its own, QueryAccept always S_FALSE, a shallow copy of the connection type, and
//! S_FALSE for any sample shorter than a full frame. Records the order of stream
//! events, sample times and the first bytes of each sample.
class FakeSinkPin final : public IPin, public IMemInputPin {
 public:
  static constexpr LONG kFullFrame = 1280 * 720 * 2;

  FakeSinkPin();
  ~FakeSinkPin();
  FakeSinkPin(const FakeSinkPin&) = delete;
  FakeSinkPin& operator=(const FakeSinkPin&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.Add(); }
  STDMETHODIMP_(ULONG) Release() override { return refs_.Drop(); }

  // IPin
  STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin** out) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* out) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO* out) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION* out) override;
  STDMETHODIMP QueryId(LPWSTR*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_FALSE; }
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override;
  STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

  // IMemInputPin
  STDMETHODIMP GetAllocator(IMemAllocator** out) override;
  STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL read_only) override;
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP ReceiveMultiple(IMediaSample** samples, long count, long* processed) override;
  STDMETHODIMP ReceiveCanBlock() override { return S_FALSE; }

  //! Waits (bounded) until `count` samples have arrived in total.
  bool WaitForSamples(size_t count, DWORD timeout_ms);

  struct Received {
    REFERENCE_TIME start;
    REFERENCE_TIME end;
    bool discontinuity;
    LONG length;
    int64_t real_time;  // QueryRealTime at arrival
    BYTE first_bytes[8];
  };
  std::vector<Received> received() const;
  std::vector<std::string> events() const;
  //! The type as the sink stored it: a shallow copy whose format block belongs to
  //! whoever handed it over.
  const AM_MEDIA_TYPE& stored_type() const noexcept { return stored_type_; }
  IPin* connector() const noexcept { return connector_; }
  IMemAllocator* allocator() const noexcept { return allocator_.get(); }
  LONG refs() const noexcept { return refs_.count(); }

  SinkTypes types = SinkTypes::kNone;
  //! Accept only types whose bytes equal the camera's YUY2 1280 x 720 type in the
  //! fields a sink looks at (subtype YUY2, FORMAT_VideoInfo, 88-byte block).
  bool accept_only_yuy2 = true;
  //! Whether the worker thread was still alive at BeginFlush and had ended at EndFlush.
  std::atomic<int> worker_alive_at_begin_flush{-1};
  std::atomic<int> worker_alive_at_end_flush{-1};
  //! Whether the allocator was still committed at BeginFlush (the worker is told to
  //! stop only after the decommit).
  std::atomic<int> committed_at_begin_flush{-1};

 private:
  void Log(const char* event);

  FakeRefCount refs_;
  IPin* connector_ = nullptr;  // counted
  AM_MEDIA_TYPE stored_type_ = {};
  platform::ComPtr<IMemAllocator> allocator_;
  mutable std::mutex mutex_;
  std::vector<Received> received_;
  std::vector<std::string> events_;
  platform::UniqueHandle worker_thread_;
  platform::UniqueHandle sample_event_;  // auto reset, set at every sample
};

}  // namespace veltrano::test
