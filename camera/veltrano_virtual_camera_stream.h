// The camera's output pin "Capture": offers the capture modes as YUY2 media types,
// lets applications choose one (IAMStreamConfig) and recognise the pin as a capture
// pin (IKsPropertySet), and fills each sample with the newest producer frame, the
// placeholder picture or grey, paced to the frame rate.
// Threads: the COM methods run on application threads; FillSample and the worker
// hooks on the pin's worker thread, which takes only the delivery lock. SetFormat
// and SizeBuffers take the filter's state lock; the delivery state is reset outside
// the delivery lock only while no worker exists (filter stopped).
#pragma once

#include <dshow.h>

#include <atomic>
#include <vector>

#include "camera/capture_mode.h"
#include "camera/frame_pacer.h"
#include "camera/placeholder_cache.h"
#include "channel/frame_section_reader.h"
#include "framework/source_stream.h"
#include "platform/critical_section.h"
#include "platform/waitable_timer.h"

namespace veltrano::camera {

class CVeltranoVirtualCamera;

class CVeltranoVirtualCameraStream final : public framework::CSourceStream,
                                           public IAMStreamConfig,
                                           public IKsPropertySet {
 public:
  //! Attaches the pin to `filter` and sets its current media type to mode 0;
  //! `result` keeps the first failure (out of memory for the name, the mode list,
  //! the pin list or the format block).
  CVeltranoVirtualCameraStream(HRESULT* result, CVeltranoVirtualCamera* filter) noexcept;
  ~CVeltranoVirtualCameraStream() override;

  // IUnknown of IPin, IQualityControl, IAMStreamConfig and IKsPropertySet: answers
  // the two camera interfaces itself, everything else through the owner.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return owner()->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return owner()->Release(); }

  // IAMStreamConfig
  STDMETHODIMP SetFormat(AM_MEDIA_TYPE* type) override;
  STDMETHODIMP GetFormat(AM_MEDIA_TYPE** out) override;
  STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
  STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** out, BYTE* caps) override;

  // IKsPropertySet
  STDMETHODIMP Set(REFGUID set, DWORD id, void* instance, DWORD instance_size, void* data,
                   DWORD data_size) override;
  STDMETHODIMP Get(REFGUID set, DWORD id, void* instance, DWORD instance_size, void* data, DWORD data_size,
                   DWORD* returned) override;
  STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

  // Pin hooks.
  //! Accepts YUY2 FORMAT_VideoInfo types of a listed mode; E_INVALIDARG otherwise.
  HRESULT ValidateMediaType(const AM_MEDIA_TYPE* type) override;
  //! The mode media type of the mode at `position`.
  HRESULT MediaTypeAt(LONG position, framework::CMediaTypeRecord* type) override;
  //! One buffer of the current image size, under the state lock.
  HRESULT SizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  //! Flushes downstream around the framework's stop of the worker.
  HRESULT OnDeactivate() override;

  // Worker side.
  //! Waits until the sample is due, stamps it with that stream time, then copies the
  //! newest picture into it. A wait cut short by Stop or Pause leaves the sample
  //! unstamped and empty; the worker drops it.
  HRESULT FillSample(IMediaSample* sample) override;
  //! Restarts the sample times at 0, builds the placeholder (Pause does the work, so
  //! that Run starts at once) and makes the pacing timer.
  HRESULT OnWorkerThreadStart() override;
  //! Releases the section view and the pacing timer.
  HRESULT OnWorkerThreadExit() override;
  //! A Run: the next sample is due at the stream time of now (or of the end of the
  //! last one) and marked as a discontinuity.
  HRESULT OnStreamingStart() override;

  //! Whether the pin currently maps the frame section (tests).
  bool HasSectionView() const noexcept { return reader_.HasView(); }
  //! Off: the next worker paces with timed waits instead of a high-resolution timer,
  //! as on systems that refuse one (measurements compare the two).
  void AllowHighResolutionTimer(bool allowed) noexcept { high_resolution_allowed_.store(allowed); }
  //! Whether the current worker paces on a high-resolution timer.
  bool PacesWithHighResolutionTimer() const noexcept { return static_cast<bool>(pacing_timer_); }

 private:
  //! Timing back to the start: times from 0, next sample a discontinuity.
  void ResetTiming() noexcept;
  //! Writes the picture for one sample into `buffer` (at most `capacity` bytes)
  //! under the delivery lock; returns the number of bytes written.
  uint32_t CopyPicture(BYTE* buffer, uint32_t capacity, const VIDEOINFOHEADER& info) noexcept;

  CVeltranoVirtualCamera* const camera_;  // not counted: the filter owns this pin
  std::vector<CaptureMode> modes_;  // filled once in the constructor, then read-only

  // Delivery state. The timing values belong to the worker while it exists; the
  // section view and the placeholder cache are used under the delivery lock.
  platform::CriticalSection delivery_lock_;
  FramePacer pacer_;
  platform::WaitableTimer pacing_timer_;  // made and released on the worker
  std::atomic<bool> high_resolution_allowed_{true};
  PlaceholderCache placeholder_;
  channel::FrameSectionReader reader_;  // released first on destruction
};

}  // namespace veltrano::camera
