#include "framework/fakes_input_pin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>

namespace veltrano::pin_test {

// Lists the fake pin's offered types; each Next hands out a fresh CoTaskMemAlloc copy.
class FakeTypeEnumerator final : public IEnumMediaTypes {
 public:
  explicit FakeTypeEnumerator(FakeInputPin* pin) : pin_(pin) { pin_->AddRef(); }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IEnumMediaTypes) {
      *out = static_cast<IEnumMediaTypes*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
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
      if (FAILED(framework::DuplicateMediaType(copy, pin_->offered_[position_]))) {
        ::CoTaskMemFree(copy);
        break;
      }
      types[done++] = copy;
      ++position_;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG) override {
    ADD_FAILURE() << "unexpected Skip on the peer's type enumerator";
    return E_NOTIMPL;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumMediaTypes** out) override {
    ADD_FAILURE() << "unexpected Clone on the peer's type enumerator";
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  ~FakeTypeEnumerator() = default;
  FakeInputPin* pin_;
  size_t position_ = 0;
  std::atomic<LONG> ref_count_{1};
};

FakeInputPin::~FakeInputPin() {
  // A connector still held here means the test failed before disconnecting; its
  // filter may be gone already, so the reference is left alone.
  EXPECT_EQ(nullptr, connector) << "fake input pin destroyed while connected";
  for (framework::CMediaTypeRecord* type : offered_) delete type;
}

void FakeInputPin::Offer(const AM_MEDIA_TYPE& type) {
  auto* copy = new framework::CMediaTypeRecord;
  ASSERT_EQ(S_OK, copy->Assign(&type));
  offered_.push_back(copy);
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

STDMETHODIMP FakeInputPin::Connect(IPin*, const AM_MEDIA_TYPE*) {
  ADD_FAILURE() << "unexpected Connect on the input pin";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeInputPin::ReceiveConnection(IPin* pin, const AM_MEDIA_TYPE* type) {
  if (!pin || !type) {
    ADD_FAILURE() << "ReceiveConnection without connector or type";
    return E_POINTER;
  }
  receive_connection_subtypes.push_back(type->subtype);
  if (connector) return VFW_E_ALREADY_CONNECTED;
  const bool accepted =
      accepted_subtypes.empty() ||
      std::find(accepted_subtypes.begin(), accepted_subtypes.end(), type->subtype) != accepted_subtypes.end();
  if (!accepted) return refusal;
  connector = pin;
  connector->AddRef();
  shallow_type = *type;  // shallow on purpose: the connector must keep the block alive
  received_pointer = type;
  return S_OK;
}

STDMETHODIMP FakeInputPin::Disconnect() {
  ++disconnects;
  if (!connector) return S_FALSE;
  connector->Release();
  connector = nullptr;
  shallow_type = AM_MEDIA_TYPE{};
  received_pointer = nullptr;
  return S_OK;
}

STDMETHODIMP FakeInputPin::ConnectedTo(IPin** out) {
  ADD_FAILURE() << "unexpected ConnectedTo on the input pin";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeInputPin::ConnectionMediaType(AM_MEDIA_TYPE*) {
  ADD_FAILURE() << "unexpected ConnectionMediaType on the input pin";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeInputPin::QueryPinInfo(PIN_INFO*) {
  ADD_FAILURE() << "unexpected QueryPinInfo on the input pin";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeInputPin::QueryDirection(PIN_DIRECTION* out) {
  if (!out) return E_POINTER;
  if (FAILED(query_direction_result)) return query_direction_result;
  *out = direction;
  return S_OK;
}

STDMETHODIMP FakeInputPin::QueryId(LPWSTR*) {
  ADD_FAILURE() << "unexpected QueryId on the input pin";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeInputPin::QueryAccept(const AM_MEDIA_TYPE*) {
  ADD_FAILURE() << "unexpected QueryAccept on the input pin";
  return E_UNEXPECTED;
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
  ADD_FAILURE() << "unexpected QueryInternalConnections on the input pin";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeInputPin::EndOfStream() {
  ++end_of_streams;
  return S_OK;
}

STDMETHODIMP FakeInputPin::BeginFlush() {
  ++begin_flushes;
  return S_OK;
}

STDMETHODIMP FakeInputPin::EndFlush() {
  ++end_flushes;
  return S_OK;
}

STDMETHODIMP FakeInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
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
  notified_allocator = chosen;
  notified_read_only = read_only;
  if (notify_failures > 0) {
    --notify_failures;
    return notify_result;
  }
  return notify_failures < 0 ? notify_result : S_OK;
}

STDMETHODIMP FakeInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* out) {
  if (!out) return E_POINTER;
  if (SUCCEEDED(requirements_result)) *out = requirements;
  return requirements_result;
}

STDMETHODIMP FakeInputPin::Receive(IMediaSample* sample) {
  ++receives;
  received_sample = sample;
  return receive_result;
}

STDMETHODIMP FakeInputPin::ReceiveMultiple(IMediaSample**, long, long*) {
  ADD_FAILURE() << "unexpected ReceiveMultiple";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeInputPin::ReceiveCanBlock() {
  ADD_FAILURE() << "unexpected ReceiveCanBlock";
  return E_UNEXPECTED;
}

}  // namespace veltrano::pin_test
