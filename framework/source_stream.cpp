// Source pin with its own worker thread: the command loop and the sample loop.
#include "framework/source_stream.h"

#include <strsafe.h>

#include <cstring>
#include <utility>

#include "framework/source.h"

namespace veltrano::framework {
namespace {

// How the worker must leave after a call out returns, when that call stopped or
// released the filter on the worker thread itself. Kept per thread, not in the pin:
// after a final release the pin is gone, and the worker may read only this.
enum class WorkerLeave { kNone, kStop, kOrphaned };
thread_local WorkerLeave t_worker_leave = WorkerLeave::kNone;
// An orphaned worker may still hold a sample of the destroyed pin's allocator; this
// reference keeps the allocator alive until that sample has gone back to it.
thread_local IMemAllocator* t_orphan_allocator = nullptr;

bool MustLeave() noexcept { return t_worker_leave != WorkerLeave::kNone; }

// Pin id text: "%d" of a 1-based position, within 12 characters with the terminator.
constexpr size_t kIdChars = 12;

// Bit 0 of the delivery request: the worker is to deliver.
constexpr uint32_t kDeliver = 1;
bool Delivers(uint32_t request) noexcept { return (request & kDeliver) != 0; }

// The commands that end a run of deliveries; streaming answers the others E_UNEXPECTED.
bool EndsRun(DWORD command) noexcept {
  return command == WorkerPause || command == WorkerRun || command == WorkerStop;
}

}  // namespace

CSourceStream::CSourceStream(HRESULT* result, CSource* filter, const wchar_t* name) noexcept
    : CAMThread(result), CBaseOutputPin(filter, filter->state_lock(), name, result), source_filter_(filter) {
  delivery_event_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!delivery_event_) StoreResult(result, LastErrorAsFailure());
  StoreResult(result, source_filter_->AttachPin(this));
}

CSourceStream::~CSourceStream() { source_filter_->DetachPin(this); }

DWORD CSourceStream::WorkerMain() {
  DWORD command = WaitForCommand();
  while (command != WorkerInit) {
    ReplyToCommand(E_UNEXPECTED);
    command = WaitForCommand();
  }
  const HRESULT started = OnWorkerThreadStart();
  if (FAILED(started)) {
    OnWorkerThreadExit();
    ReplyToCommand(started);
    return 1;
  }
  ReplyToCommand(S_OK);
  // The request whose run has ended (or that asked for none): a run that ended by
  // itself is not started again until the next Run.
  uint32_t finished = delivery_request_.load();
  for (;;) {
    if (PeekCommand(&command)) {
      switch (command) {
        case WorkerPause:
        case WorkerRun:
          RequestDelivery(command == WorkerRun);
          ReplyToCommand(S_OK);
          break;
        case WorkerStop:
          // A Run that came before the Stop (and that the worker may not have begun)
          // is over too: nothing more is delivered until the next Run.
          finished = delivery_request_.load();
          ReplyToCommand(S_OK);
          break;
        case WorkerExit:
          ReplyToCommand(S_OK);
          return FAILED(OnWorkerThreadExit()) ? 1 : 0;
        default:
          ReplyToCommand(E_NOTIMPL);
          break;
      }
      continue;
    }
    // Cleared before the request is read: a later request sets it again, so a wait on
    // it wakes only for a request the worker has not seen.
    ::ResetEvent(delivery_event_.get());
    const uint32_t request = delivery_request_.load();
    if (Delivers(request) && request != finished) {
      current_run_.store(request);
      StreamSamples();
      finished = request;
      if (t_worker_leave == WorkerLeave::kOrphaned) {
        // The pin is gone: touch nothing of it.
        if (IMemAllocator* pool = std::exchange(t_orphan_allocator, nullptr)) pool->Release();
        return 0;
      }
      if (t_worker_leave == WorkerLeave::kStop) return FAILED(OnWorkerThreadExit()) ? 1 : 0;
      OnStreamingEnd();
      continue;
    }
    // Idle, paused or after the stream's end: blocked until a command or a new request.
    const HANDLE waits[2] = {command_event(), delivery_event_.get()};
    ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }
}

HRESULT CSourceStream::OnWorkerThreadStart() { return S_OK; }

HRESULT CSourceStream::OnWorkerThreadExit() { return S_OK; }

HRESULT CSourceStream::OnStreamingStart() { return S_OK; }

HRESULT CSourceStream::OnStreamingEnd() { return S_OK; }

HRESULT CSourceStream::StreamSamples() {
  OnStreamingStart();
  for (;;) {
    DWORD command = 0;
    if (PeekCommand(&command)) {
      // Pause, Run and Stop end this run, left unanswered: the request stays
      // signalled and WorkerMain answers it.
      if (EndsRun(command)) return S_FALSE;
      ReplyToCommand(E_UNEXPECTED);
      continue;
    }
    if (delivery_request_.load() != current_run_.load()) return S_OK;  // paused, or run again
    IMediaSample* sample = nullptr;
    const HRESULT acquired = AcquireSample(&sample, nullptr, nullptr, 0);
    // A downstream allocator or a clock may call back into the graph on this thread;
    // after a stop or final release there, nothing more of the pin may run.
    if (MustLeave()) {
      if (sample) sample->Release();
      return S_FALSE;
    }
    if (FAILED(acquired) || !sample) {
      // No buffer (decommitted, or all out): look for a command again shortly.
      WaitUnlessInterrupted(nullptr, 1);
      continue;
    }
    const HRESULT filled = FillSample(sample);
    if (MustLeave()) {
      sample->Release();
      return S_FALSE;
    }
    if (filled == S_OK) {
      // A Pause or Stop that arrived while the sample was filled (it may have cut the
      // fill's wait short) wins: the sample is dropped and the command handled.
      if (DeliveryInterrupted()) {
        sample->Release();
        continue;
      }
      const HRESULT pushed = PushSample(sample);
      sample->Release();
      if (MustLeave()) return S_FALSE;
      // S_FALSE or an error from downstream ends streaming without a word.
      if (pushed != S_OK) return S_OK;
      continue;
    }
    sample->Release();
    if (MustLeave()) return S_FALSE;
    SendEndOfStream();
    if (MustLeave()) return S_FALSE;
    if (filled == S_FALSE) return S_OK;
    if (IMediaEventSink* sink = source_filter_->event_sink()) {
      sink->Notify(EC_ERRORABORT, static_cast<LONG_PTR>(filled), 0);
    }
    return filled;
  }
}

void CSourceStream::RequestDelivery(bool run) noexcept {
  uint32_t request = delivery_request_.load();
  uint32_t next = 0;
  do {
    // A Pause while paused changes nothing; every Run counts as a new run.
    if (!run && !Delivers(request)) return;
    next = (((request >> 1) + 1) << 1) | (run ? kDeliver : 0);
  } while (!delivery_request_.compare_exchange_weak(request, next));
  ::SetEvent(delivery_event_.get());
}

bool CSourceStream::DeliveryInterrupted() noexcept {
  // Only the commands that end the run: the others are answered E_UNEXPECTED between
  // samples while the run goes on, and must not cost it a sample.
  DWORD command = 0;
  if (PeekCommand(&command) && EndsRun(command)) return true;
  return delivery_request_.load() != current_run_.load();
}

bool CSourceStream::WaitUnlessInterrupted(HANDLE object, DWORD timeout_ms) noexcept {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    if (DeliveryInterrupted()) return false;
    // A command already posted ends no run (or the check above would have said so), and
    // no other can be posted before it is answered, between samples. Its request event
    // stays signalled until then: the wait leaves it out rather than wake at once.
    DWORD command = 0;
    const bool answer_pending = PeekCommand(&command);
    const HANDLE waits[3] = {command_event(), delivery_event_.get(), object};
    const DWORD first = answer_pending ? 1 : 0;
    const DWORD count = (object ? 3 : 2) - first;
    const DWORD wait = ::WaitForMultipleObjects(count, waits + first, FALSE, timeout_ms);
    const DWORD index = first + (wait - WAIT_OBJECT_0);
    if (wait >= WAIT_OBJECT_0 + count || index >= 2) return true;  // the time, or the object
    if (DeliveryInterrupted()) return false;
    // A command that ends nothing cuts the wait short, no more.
    if (index == 0) return true;
    // The event of a request this run has already seen: Run and Pause set it after they
    // post the request, which the worker may have read in between. The wait goes on.
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return true;
    timeout_ms = static_cast<DWORD>(deadline - now);
  }
}

HRESULT CSourceStream::PreferredMediaType(CMediaTypeRecord* type) { return E_UNEXPECTED; }

HRESULT CSourceStream::OnActivate() {
  auto guard = lock()->Lock();
  if (filter()->state() != State_Stopped) return S_FALSE;
  if (!IsConnected()) return S_OK;
  IMemAllocator* pool = allocator();
  if (!pool) return VFW_E_NO_ALLOCATOR;
  HRESULT hr = pool->Commit();
  if (FAILED(hr)) return hr;
  if (worker_ending_.load()) {
    // The last worker was stopped from inside its own call out and is ending by
    // itself; it cannot be joined from that same thread.
    if (IsWorkerThread()) return VFW_E_WRONG_STATE;
    JoinWorker();
    worker_ending_.store(false);
  }
  // A worker still streaming after a stop that could not decommit refuses a second one;
  // that worker is left as it was.
  if (!StartWorker()) return E_FAIL;
  // Every worker starts paused; the filter's Run tells it to deliver. The worker reads
  // the request only once it has answered WorkerInit.
  RequestDelivery(false);
  hr = SendCommand(WorkerInit);
  if (FAILED(hr)) {
    // A worker whose start failed replies as its last act and ends; joining it here
    // lets the next activation start a new one.
    JoinWorker();
    return hr;
  }
  return SendCommand(WorkerPause);
}

HRESULT CSourceStream::OnRunning(REFERENCE_TIME start) {
  if (HasWorker()) RequestDelivery(true);
  return S_OK;
}

HRESULT CSourceStream::OnPausing() {
  RequestDelivery(false);
  return S_OK;
}

HRESULT CSourceStream::OnDeactivate() {
  auto guard = lock()->Lock();
  if (!IsConnected()) return S_OK;
  IMemAllocator* pool = allocator();
  if (!pool) return VFW_E_NO_ALLOCATOR;
  // Decommit first: a worker blocked in GetBuffer is released and every later
  // GetBuffer fails at once, so the worker reaches its command check promptly.
  HRESULT hr = pool->Decommit();
  if (FAILED(hr)) return hr;
  if (!HasWorker()) return S_OK;
  if (IsWorkerThread()) {
    // Stopped from a callback on our own worker: it cannot answer a command while
    // we wait, so it is told to end once the call out returns.
    if (t_worker_leave == WorkerLeave::kNone) t_worker_leave = WorkerLeave::kStop;
    worker_ending_.store(true);
    return S_OK;
  }
  hr = SendCommand(WorkerStop);
  if (FAILED(hr)) return hr;
  hr = SendCommand(WorkerExit);
  if (FAILED(hr)) return hr;
  JoinWorker();
  return S_OK;
}

HRESULT CSourceStream::ReleaseConnection() {
  // A stop whose decommit failed leaves the worker streaming; the allocator and the
  // downstream pin it uses must not be released under it. It is ended first, once
  // the allocator lets go of it; otherwise the pin stays connected.
  if (WorkerMayStream()) {
    if (IsWorkerThread()) return VFW_E_WRONG_STATE;
    if (IMemAllocator* pool = allocator()) {
      const HRESULT hr = pool->Decommit();
      if (FAILED(hr)) return hr;
    }
    ShutDownWorker();
  }
  return CBaseOutputPin::ReleaseConnection();
}

void CSourceStream::ShutDownWorker() noexcept {
  if (!HasWorker()) return;
  if (IMemAllocator* pool = allocator()) pool->Decommit();
  if (IsWorkerThread()) {
    t_worker_leave = WorkerLeave::kOrphaned;
    if (IMemAllocator* pool = allocator()) {
      pool->AddRef();
      t_orphan_allocator = pool;
    }
    OnWorkerThreadExit();
    AbandonWorker();
    return;
  }
  // A flush releases a downstream Receive that holds the worker (the peer may still be
  // running), so the commands below reach it; its end follows once the worker is gone.
  const bool flush = IsConnected();
  if (flush) SendBeginFlush();
  // A worker that already ended answers nothing; SendCommand notices and joins it.
  if (SUCCEEDED(SendCommand(WorkerStop))) SendCommand(WorkerExit);
  JoinWorker();
  worker_ending_.store(false);
  if (flush) SendEndFlush();
}

HRESULT CSourceStream::ValidateMediaType(const AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  auto guard = lock()->Lock();
  CMediaTypeRecord preferred;
  PreferredMediaType(&preferred);
  bool equal = preferred.majortype == type->majortype && preferred.subtype == type->subtype &&
               preferred.formattype == type->formattype && preferred.cbFormat == type->cbFormat;
  if (equal && preferred.cbFormat != 0) {
    equal = preferred.pbFormat && type->pbFormat && std::memcmp(preferred.pbFormat, type->pbFormat, preferred.cbFormat) == 0;
  }
  return equal ? S_OK : E_FAIL;
}

HRESULT CSourceStream::MediaTypeAt(LONG position, CMediaTypeRecord* type) {
  if (!type) return E_POINTER;
  auto guard = lock()->Lock();
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  return PreferredMediaType(type);
}

STDMETHODIMP CSourceStream::QueryId(LPWSTR* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  const LONG position = source_filter_->PinPosition(this);
  if (position == 0) return VFW_E_NOT_FOUND;
  auto* id = static_cast<wchar_t*>(::CoTaskMemAlloc(kIdChars * sizeof(wchar_t)));
  if (!id) return E_OUTOFMEMORY;
  if (FAILED(::StringCchPrintfW(id, kIdChars, L"%d", static_cast<int>(position)))) id[0] = L'\0';
  *out = id;
  return S_OK;
}

}  // namespace veltrano::framework
