// The camera's output pin "Capture": offers the capture modes (YUY2, NV12, I420,
// RGB24 and RGB32 at six sizes) as media types, lets applications choose one
// (IAMStreamConfig) and recognise the pin as a capture pin (IKsPropertySet), and
// fills each sample with the newest producer frame converted to the current mode,
// the placeholder picture or grey, paced to the frame rate.
// Threads: the COM methods run on application threads; FillSample and the worker
// hooks on the pin's worker thread, which takes only the delivery lock. SetFormat
// and SizeBuffers take the filter's state lock; the chosen type has a small lock of
// its own, which the offered-type list takes on any thread. The delivery state is
// reset outside the delivery lock only while no worker exists (filter stopped).
#pragma once

#include <dshow.h>

#include <atomic>
#include <vector>

#include "camera/capture_mode.h"
#include "camera/frame_pacer.h"
#include "camera/placeholder_cache.h"
#include "channel/frame_section_reader.h"
#include "framework/source_stream.h"
#include "imaging/frame_converter.h"
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
  //! Accepts a type of an offered mode at an offered rate, the set SetFormat accepts
  //! (also after a client chose a format); E_INVALIDARG otherwise.
  HRESULT ValidateMediaType(const AM_MEDIA_TYPE* type) override;
  //! The mode media type of the mode at `position`; after a client chose a format
  //! with SetFormat, that format alone, as SetFormat completed it. E_OUTOFMEMORY
  //! leaves `type` as it was.
  HRESULT MediaTypeAt(LONG position, framework::CMediaTypeRecord* type) override;
  //! Stores the agreed type with the fields the peer left out filled in.
  HRESULT AdoptMediaType(const AM_MEDIA_TYPE* type) override;
  //! Changes when a client chooses a format, since the offered list changes with it.
  LONG TypeListVersion() override;
  //! One buffer of the current image size, under the state lock.
  HRESULT SizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  //! Flushes downstream around the framework's stop of the worker.
  HRESULT OnDeactivate() override;
  //! Stops delivery and releases the section view at once, also while a renderer holds
  //! the worker inside Receive for the whole pause.
  HRESULT OnPausing() override;

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
  //! Releases the section view: a paused camera holds no section.
  HRESULT OnStreamingEnd() override;

  //! Whether the pin currently maps the frame section (tests).
  bool HasSectionView() const noexcept { return reader_.HasView(); }
  //! Off: the next worker paces with timed waits instead of a high-resolution timer,
  //! as on systems that refuse one (measurements compare the two).
  void AllowHighResolutionTimer(bool allowed) noexcept { high_resolution_allowed_.store(allowed); }
  //! Whether the current worker paces on a high-resolution timer.
  bool PacesWithHighResolutionTimer() const noexcept { return static_cast<bool>(pacing_timer_); }

  //! The offered modes (read-only after construction).
  const std::vector<CaptureMode>& modes() const noexcept { return modes_; }
  //! The frame interval of the current media type (0 without a format block).
  REFERENCE_TIME CurrentFrameInterval() const noexcept;

 private:
  //! Timing back to the start: times from 0, next sample a discontinuity.
  void ResetTiming() noexcept;
  //! Writes the picture for one sample into `buffer` (`length` bytes) under the
  //! delivery lock: the newest producer frame in the current format, else the
  //! placeholder, else grey. Returns the number of bytes written.
  uint32_t CopyPicture(BYTE* buffer, uint32_t length) noexcept;
  //! The newest producer frame, copied or converted and scaled to `format`; false
  //! when there is none (the buffer may then hold part of one).
  bool CopyProducerFrame(BYTE* buffer, uint32_t length, const VideoFormat& format) noexcept;

  CVeltranoVirtualCamera* const camera_;  // not counted: the filter owns this pin
  std::vector<CaptureMode> modes_;  // filled once in the constructor, then read-only
  // The format a client chose with SetFormat, as SetFormat completed it: written
  // under the state lock and chosen_lock_, read under chosen_lock_ alone (media type
  // enumerators call from any thread).
  std::atomic<LONG> format_choices_{0};
  platform::CriticalSection chosen_lock_;
  bool format_chosen_ = false;               // guarded by chosen_lock_
  framework::CMediaTypeRecord chosen_type_;  // guarded by chosen_lock_

  // Delivery state. The timing values belong to the worker while it exists; the
  // section view and the placeholder cache are used under the delivery lock.
  platform::CriticalSection delivery_lock_;
  FramePacer pacer_;
  platform::WaitableTimer pacing_timer_;  // made and released on the worker
  std::atomic<bool> high_resolution_allowed_{true};
  PlaceholderCache placeholder_;
  imaging::FrameConverter converter_;   // producer frames of another size or format
  channel::FrameSectionReader reader_;  // released first on destruction
};

}  // namespace veltrano::camera
