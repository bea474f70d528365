// A renderer for the tests that presents the way a preview window does: it holds each
// sample until the graph's clock reaches the sample's start time (IReferenceClock::
// AdviseTime from the run's start time), holds a sample that arrives while paused
// until Run (or drops it, as sinks that do not preroll do), and records when it
// presented each one. Wine's own null renderer also waits
// for sample times, but tells no one when it presented a sample.
// Threads: graph threads change the state; Receive runs on the upstream worker and
// takes no lock that a state change holds while it waits.
#pragma once

#include <dshow.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "e2e_support.h"
#include "framework/base_filter.h"
#include "framework/base_pin.h"
#include "platform/critical_section.h"
#include "platform/unique_handle.h"

namespace veltrano::test {

//! One presented sample.
struct Presentation {
  int64_t presented_qpc = 0;
  REFERENCE_TIME start = -1;  // -1 without times
  bool producer_frame = false;
  ProducerFrameHeader header{};  // valid for producer frames
};

class ClockRenderer;

class ClockRendererPin final : public framework::CBasePin, public IMemInputPin {
 public:
  ClockRendererPin(ClockRenderer* filter, platform::CriticalSection* lock, HRESULT* result) noexcept;

  STDMETHODIMP InnerQueryInterface(REFIID iid, void** out) override;
  VELTRANO_DELEGATING_UNKNOWN

  // Pin hooks.
  HRESULT ValidateMediaType(const AM_MEDIA_TYPE* type) override;
  HRESULT MediaTypeAt(LONG position, framework::CMediaTypeRecord* type) override;
  HRESULT OnActivate() override;
  HRESULT OnDeactivate() override;
  HRESULT OnRunning(REFERENCE_TIME start) override;
  HRESULT OnPausing() override;
  // IPin: flushing releases a held sample.
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP EndOfStream() override { return S_OK; }

  // IMemInputPin
  STDMETHODIMP GetAllocator(IMemAllocator** out) override;
  STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL read_only) override;
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* out) override;
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP ReceiveMultiple(IMediaSample** samples, long count, long* processed) override;
  STDMETHODIMP ReceiveCanBlock() override { return S_OK; }

  //! Off: samples that arrive while paused are dropped at once instead of being held
  //! until Run (a sink that does not preroll). Set before streaming.
  bool holds_while_paused = true;

  std::vector<Presentation> presentations() const;
  //! Waits (at most `timeout_ms`) until `count` samples have been presented in all.
  bool WaitForPresentations(size_t count, DWORD timeout_ms) const;

 private:
  //! Waits for `event` unless the sample is to be given up (stop or flush); false then.
  bool WaitUnlessReleased(HANDLE event) const noexcept;

  ClockRenderer* const renderer_;
  platform::ComPtr<IReferenceClock> clock_;  // taken at Pause, kept until the next
  std::atomic<REFERENCE_TIME> run_start_{0};
  platform::UniqueHandle running_;   // manual reset: set while running
  platform::UniqueHandle released_;  // manual reset: set while stopped or flushing
  platform::UniqueHandle advise_;    // auto reset: the clock's advice
  platform::UniqueHandle presented_;  // auto reset: set at every presentation
  mutable std::mutex mutex_;
  std::vector<Presentation> presentations_;
};

class ClockRenderer final : public framework::CBaseFilter {
 public:
  //! A renderer with one reference (the caller's), or null.
  static ClockRenderer* Create();

  LONG PinCount() override { return 1; }
  framework::CBasePin* PinAt(LONG index) override { return index == 0 ? pin_ : nullptr; }
  ClockRendererPin* pin() const noexcept { return pin_; }

 protected:
  ~ClockRenderer() override;

 private:
  ClockRenderer() noexcept;
  platform::CriticalSection lock_;
  ClockRendererPin* pin_ = nullptr;  // owned
};

}  // namespace veltrano::test
