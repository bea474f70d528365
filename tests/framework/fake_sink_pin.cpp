#include "framework/fake_sink_pin.h"

#include <cstring>

#include <gtest/gtest.h>

namespace veltrano::source_test {

FakeSinkPin::FakeSinkPin()
    : received_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      end_of_stream_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

FakeSinkPin::~FakeSinkPin() { ReleaseHeldSamples(); }

std::vector<LONG> FakeSinkPin::frames() const {
  auto guard = lock_.Lock();
  return frames_;
}

bool FakeSinkPin::WaitForReceives(LONG count, DWORD timeout_ms) const {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (receive_count_.load() < count) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return false;
    ::WaitForSingleObject(received_.get(), static_cast<DWORD>(deadline - now));
  }
  return true;
}

bool FakeSinkPin::WaitForEndOfStream(DWORD timeout_ms) const {
  return ::WaitForSingleObject(end_of_stream_.get(), timeout_ms) == WAIT_OBJECT_0;
}

void FakeSinkPin::ReleaseHeldSamples() {
  std::vector<IMediaSample*> held;
  {
    auto guard = lock_.Lock();
    held.swap(held_);
  }
  for (IMediaSample* sample : held) sample->Release();
}

STDMETHODIMP FakeSinkPin::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPin) {
    *out = static_cast<IPin*>(this);
  } else if (iid == IID_IMemInputPin) {
    *out = static_cast<IMemInputPin*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) FakeSinkPin::AddRef() { return static_cast<ULONG>(++ref_count_); }
STDMETHODIMP_(ULONG) FakeSinkPin::Release() { return static_cast<ULONG>(--ref_count_); }

STDMETHODIMP FakeSinkPin::Connect(IPin*, const AM_MEDIA_TYPE*) {
  ADD_FAILURE() << "unexpected IPin::Connect on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
  EXPECT_NE(nullptr, connector);
  EXPECT_NE(nullptr, type);
  return S_OK;
}

STDMETHODIMP FakeSinkPin::Disconnect() { return S_OK; }

STDMETHODIMP FakeSinkPin::ConnectedTo(IPin**) {
  ADD_FAILURE() << "unexpected IPin::ConnectedTo on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::ConnectionMediaType(AM_MEDIA_TYPE*) {
  ADD_FAILURE() << "unexpected IPin::ConnectionMediaType on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::QueryPinInfo(PIN_INFO*) {
  ADD_FAILURE() << "unexpected IPin::QueryPinInfo on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::QueryDirection(PIN_DIRECTION* out) {
  *out = PINDIR_INPUT;
  return S_OK;
}

STDMETHODIMP FakeSinkPin::QueryId(LPWSTR*) {
  ADD_FAILURE() << "unexpected IPin::QueryId on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::QueryAccept(const AM_MEDIA_TYPE*) {
  ADD_FAILURE() << "unexpected IPin::QueryAccept on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::EnumMediaTypes(IEnumMediaTypes**) {
  ADD_FAILURE() << "unexpected IPin::EnumMediaTypes on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::QueryInternalConnections(IPin**, ULONG*) {
  ADD_FAILURE() << "unexpected IPin::QueryInternalConnections on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::EndOfStream() {
  ++end_of_stream_count_;
  ::SetEvent(end_of_stream_.get());
  return S_OK;
}

STDMETHODIMP FakeSinkPin::BeginFlush() {
  ADD_FAILURE() << "unexpected IPin::BeginFlush on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::EndFlush() {
  ADD_FAILURE() << "unexpected IPin::EndFlush on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) {
  ADD_FAILURE() << "unexpected IPin::NewSegment on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::GetAllocator(IMemAllocator** out) {
  // No allocator of our own: the source pin must make one.
  *out = nullptr;
  return VFW_E_NO_ALLOCATOR;
}

STDMETHODIMP FakeSinkPin::NotifyAllocator(IMemAllocator* allocator, BOOL read_only) {
  EXPECT_NE(nullptr, allocator);
  EXPECT_FALSE(read_only);
  return S_OK;
}

STDMETHODIMP FakeSinkPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }

STDMETHODIMP FakeSinkPin::Receive(IMediaSample* sample) {
  LONG frame = -1;
  BYTE* buffer = nullptr;
  if (SUCCEEDED(sample->GetPointer(&buffer)) && sample->GetActualDataLength() >= 4) {
    std::memcpy(&frame, buffer, sizeof(frame));
  }
  {
    auto guard = lock_.Lock();
    frames_.push_back(frame);
    if (hold_samples.load()) {
      sample->AddRef();
      held_.push_back(sample);
    }
  }
  const HRESULT result = receive_result.load();
  if (on_receive) on_receive();
  ++receive_count_;
  ::SetEvent(received_.get());
  return result;
}

STDMETHODIMP FakeSinkPin::ReceiveMultiple(IMediaSample**, long, long*) {
  ADD_FAILURE() << "unexpected IMemInputPin::ReceiveMultiple on the sink";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeSinkPin::ReceiveCanBlock() {
  ADD_FAILURE() << "unexpected IMemInputPin::ReceiveCanBlock on the sink";
  return E_UNEXPECTED;
}

}  // namespace veltrano::source_test
