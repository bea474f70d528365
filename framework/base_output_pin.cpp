// Output pin transport: the downstream IMemInputPin, allocator negotiation with the
// fallback to our own memory allocator, and delivery to the peer.
#include "framework/base_output_pin.h"

namespace veltrano::framework {

CBaseOutputPin::CBaseOutputPin(CBaseFilter* filter, platform::CriticalSection* lock, const wchar_t* name,
                               HRESULT* result) noexcept
    : CBasePin(filter, lock, name, PINDIR_OUTPUT, result) {}

CBaseOutputPin::~CBaseOutputPin() = default;

HRESULT CBaseOutputPin::OnActivate() {
  if (!allocator_) return VFW_E_NO_ALLOCATOR;
  return allocator_->Commit();
}

HRESULT CBaseOutputPin::OnDeactivate() {
  if (!allocator_) return VFW_E_NO_ALLOCATOR;
  return allocator_->Decommit();
}

HRESULT CBaseOutputPin::ValidatePeer(IPin* peer) {
  if (!peer) return E_POINTER;
  PIN_DIRECTION direction = PINDIR_OUTPUT;
  // A peer that cannot tell its direction is not one we can rely on: its failure
  // is the answer, rather than comparing a direction it never wrote.
  HRESULT hr = peer->QueryDirection(&direction);
  if (FAILED(hr)) return hr;
  if (direction == this->direction()) return VFW_E_INVALID_DIRECTION;
  hr = peer->QueryInterface(IID_IMemInputPin, downstream_input_.put_void());
  if (FAILED(hr)) {
    downstream_input_.reset();
    return hr;
  }
  return downstream_input_ ? S_OK : E_NOINTERFACE;
}

HRESULT CBaseOutputPin::ReleaseConnection() {
  if (allocator_) {
    const HRESULT hr = allocator_->Decommit();
    if (FAILED(hr)) return hr;
    allocator_.reset();
  }
  downstream_input_.reset();
  return S_OK;
}

HRESULT CBaseOutputPin::FinishConnection(IPin* peer) {
  return NegotiateAllocator(downstream_input_.get(), allocator_.put());
}

HRESULT CBaseOutputPin::NegotiateAllocator(IMemInputPin* input, IMemAllocator** allocator) {
  if (!allocator) return E_POINTER;
  *allocator = nullptr;
  if (!input) return E_POINTER;
  ALLOCATOR_PROPERTIES request = {};
  input->GetAllocatorRequirements(&request);  // optional: the result does not matter
  if (request.cbAlign == 0) request.cbAlign = 1;

  // First choice: the downstream pin's allocator.
  platform::ComPtr<IMemAllocator> chosen;
  HRESULT hr = input->GetAllocator(chosen.put());
  if (SUCCEEDED(hr) && !chosen) hr = VFW_E_NO_ALLOCATOR;
  if (SUCCEEDED(hr)) hr = SizeBuffers(chosen.get(), &request);
  if (SUCCEEDED(hr)) hr = input->NotifyAllocator(chosen.get(), FALSE);
  if (SUCCEEDED(hr)) {
    *allocator = chosen.detach();
    return S_OK;
  }
  chosen.reset();

  // Second choice: our own.
  hr = CreateOwnAllocator(chosen.put());
  if (SUCCEEDED(hr) && !chosen) hr = VFW_E_NO_ALLOCATOR;
  if (SUCCEEDED(hr)) hr = SizeBuffers(chosen.get(), &request);
  if (SUCCEEDED(hr)) hr = input->NotifyAllocator(chosen.get(), FALSE);
  if (SUCCEEDED(hr)) {
    *allocator = chosen.detach();
    return S_OK;
  }
  return hr;
}

HRESULT CBaseOutputPin::AcquireSample(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                                      DWORD flags) {
  if (!allocator_) return E_NOINTERFACE;
  return allocator_->GetBuffer(sample, start, end, flags);
}

HRESULT CBaseOutputPin::PushSample(IMediaSample* sample) {
  if (!downstream_input_) return VFW_E_NOT_CONNECTED;
  return downstream_input_->Receive(sample);
}

HRESULT CBaseOutputPin::CreateOwnAllocator(IMemAllocator** allocator) {
  if (!allocator) return E_POINTER;
  return ::CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(allocator));
}

HRESULT CBaseOutputPin::SendEndOfStream() {
  IPin* peer = connected_pin();
  return peer ? peer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::SendBeginFlush() {
  IPin* peer = connected_pin();
  return peer ? peer->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::SendEndFlush() {
  IPin* peer = connected_pin();
  return peer ? peer->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::SendNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  IPin* peer = connected_pin();
  return peer ? peer->NewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}

}  // namespace veltrano::framework
