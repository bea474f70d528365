#include "clock_renderer.h"

#include <new>

namespace veltrano::test {
namespace {

// {3C6B8E52-91A4-4F0B-8E1D-6A2B9C7D5E31}
constexpr CLSID kClockRendererClsid = {0x3c6b8e52, 0x91a4, 0x4f0b, {0x8e, 0x1d, 0x6a, 0x2b, 0x9c, 0x7d, 0x5e, 0x31}};
// No wait of this renderer outlasts a test.
constexpr DWORD kLongestWaitMs = 30000;

}  // namespace

ClockRendererPin::ClockRendererPin(ClockRenderer* filter, platform::CriticalSection* lock, HRESULT* result) noexcept
    : CBasePin(filter, lock, L"In", PINDIR_INPUT, result),
      renderer_(filter),
      running_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      released_(::CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      advise_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      presented_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  if (!running_ || !released_ || !advise_ || !presented_) framework::StoreResult(result, E_OUTOFMEMORY);
}

STDMETHODIMP ClockRendererPin::InnerQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IMemInputPin) return HandOutInterface(static_cast<IMemInputPin*>(this), out);
  return CBasePin::InnerQueryInterface(iid, out);
}

HRESULT ClockRendererPin::ValidateMediaType(const AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  return type->majortype == MEDIATYPE_Video && type->subtype == MEDIASUBTYPE_YUY2 ? S_OK : S_FALSE;
}

HRESULT ClockRendererPin::MediaTypeAt(LONG position, framework::CMediaTypeRecord* type) {
  return position < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
}

HRESULT ClockRendererPin::OnActivate() {
  renderer_->GetSyncSource(clock_.put());
  ::ResetEvent(released_.get());
  return S_OK;
}

HRESULT ClockRendererPin::OnDeactivate() {
  ::ResetEvent(running_.get());
  ::SetEvent(released_.get());
  return S_OK;
}

HRESULT ClockRendererPin::OnRunning(REFERENCE_TIME start) {
  run_start_.store(start);
  ::SetEvent(running_.get());
  return S_OK;
}

HRESULT ClockRendererPin::OnPausing() {
  ::ResetEvent(running_.get());
  return S_OK;
}

STDMETHODIMP ClockRendererPin::BeginFlush() {
  ::SetEvent(released_.get());
  return S_OK;
}

STDMETHODIMP ClockRendererPin::EndFlush() {
  if (renderer_->state() != State_Stopped) ::ResetEvent(released_.get());
  return S_OK;
}

STDMETHODIMP ClockRendererPin::GetAllocator(IMemAllocator** out) {
  if (out) *out = nullptr;
  return VFW_E_NO_ALLOCATOR;
}

STDMETHODIMP ClockRendererPin::NotifyAllocator(IMemAllocator*, BOOL) { return S_OK; }

STDMETHODIMP ClockRendererPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }

bool ClockRendererPin::WaitUnlessReleased(HANDLE event) const noexcept {
  const HANDLE waits[2] = {released_.get(), event};
  return ::WaitForMultipleObjects(2, waits, FALSE, kLongestWaitMs) == WAIT_OBJECT_0 + 1;
}

STDMETHODIMP ClockRendererPin::Receive(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  if (renderer_->state() == State_Stopped) return VFW_E_WRONG_STATE;
  REFERENCE_TIME start = -1;
  REFERENCE_TIME stop = -1;
  const bool timed = SUCCEEDED(sample->GetTime(&start, &stop));
  for (;;) {
    // Paused: held until Run, as renderers hold the sample that arrives then.
    if (!holds_while_paused && ::WaitForSingleObject(running_.get(), 0) != WAIT_OBJECT_0) return S_OK;
    if (!WaitUnlessReleased(running_.get())) return S_FALSE;
    if (!timed || !clock_) break;
    const REFERENCE_TIME run_start = run_start_.load();
    DWORD_PTR cookie = 0;
    if (FAILED(clock_->AdviseTime(run_start, start, reinterpret_cast<HEVENT>(advise_.get()), &cookie))) break;
    const bool due = WaitUnlessReleased(advise_.get());
    clock_->Unadvise(cookie);
    if (!due) return S_FALSE;
    // Paused and run again meanwhile: the sample is due by the new start time.
    if (run_start == run_start_.load() && ::WaitForSingleObject(running_.get(), 0) == WAIT_OBJECT_0) break;
  }
  Presentation presentation;
  presentation.presented_qpc = QpcNow();
  presentation.start = timed ? start : -1;
  BYTE* data = nullptr;
  const long length = sample->GetActualDataLength();
  if (SUCCEEDED(sample->GetPointer(&data)) && data && length > 0) {
    presentation.producer_frame = MatchProducerFrame(data, static_cast<size_t>(length), &presentation.header);
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    presentations_.push_back(presentation);
  }
  ::SetEvent(presented_.get());
  return S_OK;
}

STDMETHODIMP ClockRendererPin::ReceiveMultiple(IMediaSample** samples, long count, long* processed) {
  if (!samples || !processed) return E_POINTER;
  *processed = 0;
  for (long i = 0; i < count; ++i) {
    const HRESULT hr = Receive(samples[i]);
    if (hr != S_OK) return hr;
    ++*processed;
  }
  return S_OK;
}

std::vector<Presentation> ClockRendererPin::presentations() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return presentations_;
}

bool ClockRendererPin::WaitForPresentations(size_t count, DWORD timeout_ms) const {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (presentations().size() < count) {
    if (::GetTickCount64() >= deadline) return false;
    ::WaitForSingleObject(presented_.get(), 20);
  }
  return true;
}

ClockRenderer::ClockRenderer() noexcept : CBaseFilter(nullptr, kClockRendererClsid, &lock_) {}

ClockRenderer::~ClockRenderer() { delete pin_; }

ClockRenderer* ClockRenderer::Create() {
  auto* renderer = new (std::nothrow) ClockRenderer();
  if (!renderer) return nullptr;
  HRESULT hr = S_OK;
  renderer->pin_ = new (std::nothrow) ClockRendererPin(renderer, &renderer->lock_, &hr);
  renderer->InnerAddRef();
  if (!renderer->pin_ || FAILED(hr)) {
    renderer->InnerRelease();
    return nullptr;
  }
  return renderer;
}

}  // namespace veltrano::test
