#include "common/fake_input_pin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "common/com_test_helpers.h"

namespace veltrano::test {
namespace {

HRESULT Unexpected(const char* method) {
  ADD_FAILURE() << "unexpected call to " << method << " on the fake input pin";
  return E_UNEXPECTED;
}

int64_t RealTime() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  // Split to keep the product inside 64 bits for any counter value.
  const int64_t seconds = counter.QuadPart / frequency.QuadPart;
  return seconds * 10000000 + counter.QuadPart % frequency.QuadPart * 10000000 / frequency.QuadPart;
}

}  // namespace

// Lists the pin's offered types; each Next hands out fresh task-memory copies.
class FakeTypeEnumerator final : public IEnumMediaTypes {
 public:
  explicit FakeTypeEnumerator(FakeInputPin* pin) : pin_(pin) { pin_->AddRef(); }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return QueryOneInterface<IEnumMediaTypes>(this, IID_IEnumMediaTypes, iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++ref_count_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG count = --ref_count_;
    if (count == 0) {
      pin_->Release();
      delete this;
    }
    return static_cast<ULONG>(count);
  }
  STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
    if (!types) return E_POINTER;
    ULONG done = 0;
    while (done < count && position_ < pin_->offered_.size()) {
      auto* copy = static_cast<AM_MEDIA_TYPE*>(::CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
      if (!copy) break;
      if (FAILED(CopyMediaType(copy, pin_->offered_[position_]))) {
        ::CoTaskMemFree(copy);
        break;
      }
      types[done++] = copy;
      ++position_;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG) override { return Unexpected("IEnumMediaTypes::Skip"); }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumMediaTypes** out) override {
    if (out) *out = nullptr;
    return Unexpected("IEnumMediaTypes::Clone");
  }

 private:
  ~FakeTypeEnumerator() = default;
  FakeInputPin* pin_;
  size_t position_ = 0;
  std::atomic<LONG> ref_count_{1};
};

FakeInputPin::FakeInputPin() : changed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

FakeInputPin::~FakeInputPin() {
  // A connector still held here means the test failed before disconnecting; its
  // filter may be gone already, so the reference is left alone.
  EXPECT_EQ(nullptr, connector_) << "fake input pin destroyed while connected";
  ReleaseHeldSamples();
  ClearOffers();
}

void FakeInputPin::Offer(const AM_MEDIA_TYPE& type) {
  AM_MEDIA_TYPE copy;
  ASSERT_EQ(S_OK, CopyMediaType(&copy, type));
  offered_.push_back(copy);
}

void FakeInputPin::ClearOffers() {
  for (AM_MEDIA_TYPE& type : offered_) ClearMediaType(&type);
  offered_.clear();
}

IMediaSample* FakeInputPin::last_sample() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_sample_;
}

std::vector<FakeInputPin::Received> FakeInputPin::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<LONG> FakeInputPin::frames() const {
  std::vector<LONG> frames;
  for (const Received& record : received()) frames.push_back(record.frame);
  return frames;
}

std::vector<std::string> FakeInputPin::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void FakeInputPin::Log(const char* event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
}

bool FakeInputPin::WaitUntil(const std::function<bool()>& done, DWORD timeout_ms) const {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (!done()) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return false;
    ::WaitForSingleObject(changed_.get(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 100)));
  }
  return true;
}

bool FakeInputPin::WaitForReceives(LONG count, DWORD timeout_ms) const {
  return WaitUntil([&] { return receive_count_.load() >= count; }, timeout_ms);
}

bool FakeInputPin::WaitForEndOfStream(DWORD timeout_ms) const {
  return WaitUntil([&] { return end_of_stream_count_.load() > 0; }, timeout_ms);
}

void FakeInputPin::ReleaseHeldSamples() {
  std::vector<IMediaSample*> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(held_);
  }
  for (IMediaSample* sample : held) sample->Release();
}

void FakeInputPin::ReserveRecords(size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.reserve(count);
}

STDMETHODIMP FakeInputPin::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPin) {
    *out = static_cast<IPin*>(this);
  } else if (iid == IID_IMemInputPin && has_transport) {
    *out = static_cast<IMemInputPin*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP FakeInputPin::Connect(IPin*, const AM_MEDIA_TYPE*) { return Unexpected("IPin::Connect"); }

STDMETHODIMP FakeInputPin::ReceiveConnection(IPin* pin, const AM_MEDIA_TYPE* type) {
  if (!pin || !type) {
    ADD_FAILURE() << "ReceiveConnection without connector or type";
    return E_POINTER;
  }
  receive_connection_subtypes.push_back(type->subtype);
  if (connector_) return VFW_E_ALREADY_CONNECTED;
  const bool subtype_ok =
      accepted_subtypes.empty() ||
      std::find(accepted_subtypes.begin(), accepted_subtypes.end(), type->subtype) != accepted_subtypes.end();
  const bool format_ok = !requires_video_info || (type->formattype == FORMAT_VideoInfo && type->pbFormat &&
                                                   type->cbFormat >= sizeof(VIDEOINFOHEADER));
  if (!subtype_ok || !format_ok) return refusal;
  Log("ReceiveConnection");
  if (remember_connection) {
    connector_ = pin;
    connector_->AddRef();
    stored_type_ = *type;  // shallow on purpose: the connector must keep the block alive
    received_pointer = type;
  }
  return S_OK;
}

STDMETHODIMP FakeInputPin::Disconnect() {
  ++disconnects;
  Log("Disconnect");
  if (!connector_) return S_FALSE;
  connector_->Release();
  connector_ = nullptr;
  stored_type_ = AM_MEDIA_TYPE{};
  received_pointer = nullptr;
  kept_allocator_.reset();
  return S_OK;
}

STDMETHODIMP FakeInputPin::ConnectedTo(IPin** out) {
  if (!answers_queries) return Unexpected("IPin::ConnectedTo");
  if (!out) return E_POINTER;
  *out = connector_;
  if (!connector_) return VFW_E_NOT_CONNECTED;
  connector_->AddRef();
  return S_OK;
}

STDMETHODIMP FakeInputPin::ConnectionMediaType(AM_MEDIA_TYPE* out) {
  if (!answers_queries) return Unexpected("IPin::ConnectionMediaType");
  if (!out) return E_POINTER;
  if (!connector_) return VFW_E_NOT_CONNECTED;
  return CopyMediaType(out, stored_type_);
}

STDMETHODIMP FakeInputPin::QueryPinInfo(PIN_INFO* out) {
  if (!answers_queries) return Unexpected("IPin::QueryPinInfo");
  if (!out) return E_POINTER;
  out->pFilter = nullptr;
  out->dir = direction;
  wcscpy_s(out->achName, L"Sink");
  return S_OK;
}

STDMETHODIMP FakeInputPin::QueryDirection(PIN_DIRECTION* out) {
  if (!out) return E_POINTER;
  if (FAILED(query_direction_result)) return query_direction_result;
  *out = direction;
  return S_OK;
}

STDMETHODIMP FakeInputPin::QueryId(LPWSTR*) { return Unexpected("IPin::QueryId"); }

STDMETHODIMP FakeInputPin::QueryAccept(const AM_MEDIA_TYPE*) {
  return answers_queries ? query_accept_result : Unexpected("IPin::QueryAccept");
}

STDMETHODIMP FakeInputPin::EnumMediaTypes(IEnumMediaTypes** out) {
  ++enum_calls;
  if (!out) return E_POINTER;
  *out = nullptr;
  if (FAILED(enum_result)) return enum_result;
  *out = new (std::nothrow) FakeTypeEnumerator(this);
  return *out ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP FakeInputPin::QueryInternalConnections(IPin**, ULONG*) {
  return answers_queries ? E_NOTIMPL : Unexpected("IPin::QueryInternalConnections");
}

STDMETHODIMP FakeInputPin::EndOfStream() {
  Log("EndOfStream");
  ++end_of_stream_count_;
  ::SetEvent(changed_.get());
  return S_OK;
}

int FakeInputPin::WorkerAlive() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!worker_thread_) return -1;
  return ::WaitForSingleObject(worker_thread_.get(), 0) == WAIT_TIMEOUT;
}

STDMETHODIMP FakeInputPin::BeginFlush() {
  if (!expects_flush) return Unexpected("IPin::BeginFlush");
  ++begin_flushes;
  Log("BeginFlush");
  if (watches_flush) {
    if (kept_allocator_) {
      // A committed allocator hands out a buffer (or says it has none free right now).
      IMediaSample* sample = nullptr;
      const HRESULT hr = kept_allocator_->GetBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT);
      committed_at_begin_flush = hr != VFW_E_NOT_COMMITTED;
      if (sample) sample->Release();
    }
    if (const int alive = WorkerAlive(); alive >= 0) worker_alive_at_begin_flush = alive;
  }
  return S_OK;
}

STDMETHODIMP FakeInputPin::EndFlush() {
  if (!expects_flush) return Unexpected("IPin::EndFlush");
  ++end_flushes;
  Log("EndFlush");
  if (const int alive = watches_flush ? WorkerAlive() : -1; alive >= 0) worker_alive_at_end_flush = alive;
  return S_OK;
}

STDMETHODIMP FakeInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  if (!expects_flush) return Unexpected("IPin::NewSegment");
  ++new_segments;
  segment_start = start;
  segment_stop = stop;
  segment_rate = rate;
  return S_OK;
}

STDMETHODIMP FakeInputPin::GetAllocator(IMemAllocator** out) {
  ++get_allocator_calls;
  if (!out) return E_POINTER;
  *out = allocator;
  if (!allocator) return get_allocator_result;
  allocator->AddRef();
  return S_OK;
}

STDMETHODIMP FakeInputPin::NotifyAllocator(IMemAllocator* chosen, BOOL read_only) {
  ++notify_calls;
  EXPECT_NE(nullptr, chosen);
  notified_allocator = chosen;
  notified_read_only = read_only;
  if (notify_failures != 0) {
    if (notify_failures > 0) --notify_failures;
    return notify_result;
  }
  if (keeps_allocator) kept_allocator_ = platform::ComPtr<IMemAllocator>(chosen);
  return S_OK;
}

STDMETHODIMP FakeInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* out) {
  if (!out) return E_POINTER;
  if (SUCCEEDED(requirements_result)) *out = requirements;
  return requirements_result;
}

STDMETHODIMP FakeInputPin::Receive(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  Received record = {};
  record.frame = -1;
  record.real_time = RealTime();
  record.discontinuity = sample->IsDiscontinuity() == S_OK;
  if (FAILED(sample->GetTime(&record.start, &record.end))) record.start = record.end = -1;
  record.length = sample->GetActualDataLength();
  BYTE* data = nullptr;
  if (SUCCEEDED(sample->GetPointer(&data)) && data) {
    if (record.length >= 4) std::memcpy(&record.frame, data, sizeof(record.frame));
    if (record.length >= 8) std::memcpy(record.first_bytes, data, sizeof(record.first_bytes));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (watches_flush && !worker_thread_) {
      worker_thread_.reset(::OpenThread(SYNCHRONIZE, FALSE, ::GetCurrentThreadId()));
    }
    received_.push_back(record);
    last_sample_ = sample;
    if (hold_samples.load()) {
      sample->AddRef();
      held_.push_back(sample);
    }
  }
  const HRESULT result = record.length < drop_shorter_than ? S_FALSE : receive_result.load();
  if (on_receive) on_receive();
  ++receive_count_;
  ::SetEvent(changed_.get());
  return result;
}

STDMETHODIMP FakeInputPin::ReceiveMultiple(IMediaSample** samples, long count, long* processed) {
  if (!answers_queries) return Unexpected("IMemInputPin::ReceiveMultiple");
  long done = 0;
  HRESULT hr = S_OK;
  while (done < count && hr == S_OK) hr = Receive(samples[done++]);
  if (processed) *processed = done;
  return hr;
}

STDMETHODIMP FakeInputPin::ReceiveCanBlock() {
  return answers_queries ? S_FALSE : Unexpected("IMemInputPin::ReceiveCanBlock");
}

}  // namespace veltrano::test
