// Output pin of a live source filter that produces samples on a worker thread of its
// own: take an empty sample, have it filled (FillSample), push it downstream, and
// look for a command between samples. Pause from Stopped starts the worker and gets
// it ready, but it delivers only while the filter runs: Run starts delivery, Pause
// from Running stops it again without ending the worker, Stop ends the worker.
// Threads: OnActivate/OnDeactivate/OnRunning/OnPausing on the thread changing the
// filter state (state lock held); FillSample and the hooks on the worker, which never
// takes the state lock. Run and Pause only post the new state and never wait for the
// worker (a renderer paused downstream may hold it inside Receive until the graph
// runs again). A stop that arrives on the worker itself (an application callback
// inside Receive) cannot wait for that worker: it decommits and lets the worker end
// by itself once the call returns; the next activation joins it.
#pragma once

#include <cstdint>

#include "framework/am_thread.h"
#include "framework/base_output_pin.h"
#include "platform/unique_handle.h"

namespace veltrano::framework {

class CSource;

class CSourceStream : public CAMThread, public CBaseOutputPin {
 public:
  //! Attaches the pin to `filter`; `result` keeps the first construction failure.
  CSourceStream(HRESULT* result, CSource* filter, const wchar_t* name) noexcept;
  ~CSourceStream() override;

  // Worker side, in slot order after WorkerMain and the destructor.
  DWORD WorkerMain() override;
  //! Fills one sample: S_OK delivers it, S_FALSE ends the stream, errors abort it.
  virtual HRESULT FillSample(IMediaSample* sample) = 0;
  //! Runs on the worker for WorkerInit.
  virtual HRESULT OnWorkerThreadStart();
  //! Runs on the worker as it ends.
  virtual HRESULT OnWorkerThreadExit();
  //! Runs on the worker each time delivery begins (at every Run); result ignored.
  virtual HRESULT OnStreamingStart();
  //! Runs on the worker each time a run of deliveries ends: at a Pause, another Run,
  //! the stream's own end, and a Stop (before the worker answers it). Not when a stop
  //! or release from inside the worker's own call out ends the worker; result ignored.
  virtual HRESULT OnStreamingEnd();
  //! The sample loop of one run: returns when the run ends (Pause, another Run, a
  //! command, or the stream's own end).
  virtual HRESULT StreamSamples();
  //! The one type of a single-format pin; E_UNEXPECTED by default.
  virtual HRESULT PreferredMediaType(CMediaTypeRecord* type);

  // Pin overrides.
  HRESULT OnActivate() override;
  HRESULT OnDeactivate() override;
  //! Tells the worker to deliver from now on; does not wait for it.
  HRESULT OnRunning(REFERENCE_TIME start) override;
  //! Tells the worker to stop delivering and wait; does not wait for it.
  HRESULT OnPausing() override;
  HRESULT ReleaseConnection() override;
  HRESULT ValidateMediaType(const AM_MEDIA_TYPE* type) override;
  HRESULT MediaTypeAt(LONG position, CMediaTypeRecord* type) override;
  STDMETHODIMP QueryId(LPWSTR* out) override;

  //! Stops and joins a worker that is still running when the filter is being
  //! destroyed (released while paused or running, or after a failed decommit).
  //! On the worker thread itself (a sink dropped the last reference inside Receive)
  //! it cannot wait: it decommits, runs OnWorkerThreadExit there, lets go of the
  //! thread handle, and the worker then returns from the call out without touching
  //! the destroyed pin and ends.
  void ShutDownWorker() noexcept;

  // Worker side, for FillSample's waits.
  //! Waits until `object` (may be null) is signalled or `timeout_ms` has passed; false
  //! when the wait ended, or would begin, with the delivery interrupted. A command that
  //! interrupts nothing may end it early (true).
  bool WaitUnlessInterrupted(HANDLE object, DWORD timeout_ms) noexcept;
  //! True when a Pause, Run or Stop waits for the worker (a command, or a change between
  //! Paused and Running): the sample being filled is dropped, not delivered. Other
  //! commands are answered between samples and drop nothing.
  bool DeliveryInterrupted() noexcept;

 protected:
  CSource* source_filter() const noexcept { return source_filter_; }
  //! True while a worker may still fill and deliver samples: also in a stopped filter
  //! whose stop could not decommit the allocator, which leaves the worker running.
  bool WorkerMayStream() const noexcept { return HasWorker() && !worker_ending_.load(); }

 private:
  //! Records a Run (a new run, even when one is under way) or a Pause and wakes the worker.
  void RequestDelivery(bool run) noexcept;

  CSource* const source_filter_;  // not counted: the filter owns its pins
  // What the worker is asked to do: bit 0 set while it is to deliver, the rest counts
  // the requests, so that each Run is a run of its own even when the worker missed
  // the Pause before it. Written under the state lock or by the worker's commands.
  std::atomic<uint32_t> delivery_request_{0};
  // The request the current run of deliveries belongs to (written by the worker only).
  std::atomic<uint32_t> current_run_{0};
  platform::UniqueHandle delivery_event_;  // auto reset: set at every request
  // Set when the filter was stopped from the worker thread itself (a callback inside
  // Receive): that worker ends by itself and is joined by the next activation.
  std::atomic<bool> worker_ending_{false};
};

}  // namespace veltrano::framework
