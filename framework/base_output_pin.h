// Output pin: the downstream transport (IMemInputPin), the allocator that supplies
// sample buffers and its negotiation, and the delivery operations. Connection runs
// on application threads under the pin lock; delivery (AcquireSample, PushSample,
// Send*) runs on the worker thread without any lock, the connection being held
// stable by the filter state (a running pin cannot be disconnected).
#pragma once

#include "framework/base_pin.h"

namespace veltrano::framework {

class CBaseOutputPin : public CBasePin {
 public:
  CBaseOutputPin(CBaseFilter* filter, platform::CriticalSection* lock, const wchar_t* name,
                 HRESULT* result) noexcept;
  ~CBaseOutputPin() override;

  // Pin hooks with output-pin behaviour.
  HRESULT OnActivate() override;
  HRESULT OnDeactivate() override;
  HRESULT ValidatePeer(IPin* peer) override;
  HRESULT ReleaseConnection() override;
  HRESULT FinishConnection(IPin* peer) override;

  // Further virtual hooks, in slot order.
  //! Chooses and sizes an allocator: the downstream one first, else our own.
  virtual HRESULT NegotiateAllocator(IMemInputPin* input, IMemAllocator** allocator);
  //! Asks `allocator` for buffers that fit the current media type.
  virtual HRESULT SizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
  //! An empty sample from the allocator (may block until a buffer is free).
  virtual HRESULT AcquireSample(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags);
  //! Hands a filled sample to the downstream IMemInputPin::Receive.
  virtual HRESULT PushSample(IMediaSample* sample);
  //! Our own allocator (CLSID_MemoryAllocator) when the downstream one cannot be used.
  virtual HRESULT CreateOwnAllocator(IMemAllocator** allocator);
  virtual HRESULT SendEndOfStream();
  virtual HRESULT SendBeginFlush();
  virtual HRESULT SendEndFlush();
  virtual HRESULT SendNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

 protected:
  IMemAllocator* allocator() const noexcept { return allocator_.get(); }
  IMemInputPin* downstream_input() const noexcept { return downstream_input_.get(); }

 private:
  platform::ComPtr<IMemAllocator> allocator_;
  platform::ComPtr<IMemInputPin> downstream_input_;
};

}  // namespace veltrano::framework
