// The camera pin: formats and their negotiation, stream configuration, the pin
// category property, and sample delivery.
#include "camera/veltrano_virtual_camera_stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "camera/camera_identity.h"
#include "camera/veltrano_virtual_camera.h"
#include "platform/com_ptr.h"

namespace veltrano::camera {
namespace {

// A high-resolution timer fires on time; this much past its due time the wait ends
// anyway, should it not.
constexpr DWORD kTimerGraceMs = 50;

// The pacer's view of the filter's clock, real time and waiting. Waits end early for
// a command or a Pause/Run, so that a stop never waits out a frame interval.
class PinPacingSource final : public PacingSource {
 public:
  PinPacingSource(framework::CSourceStream* pin, platform::WaitableTimer* timer) noexcept
      : pin_(pin), timer_(timer) {}
  HRESULT StreamTime(REFERENCE_TIME* out) noexcept override { return pin_->filter()->GetStreamTime(out); }
  int64_t RealTime() noexcept override { return QueryRealTime(); }
  bool Wait(int64_t duration) noexcept override {
    // Whole milliseconds, rounded up: a timed wait never ends before the due time. The
    // duration is bounded first, so that the rounding cannot overflow.
    constexpr int64_t kLongestMs = 0x7FFFFFFF;
    const int64_t bounded = std::clamp<int64_t>(duration, 1, kLongestMs * 10000);
    const int64_t ms = (bounded + 9999) / 10000;
    if (timer_->Arm(duration)) {
      return pin_->WaitUnlessInterrupted(timer_->get(), static_cast<DWORD>(ms) + kTimerGraceMs);
    }
    // The timed wait has the granularity of the system tick (15.6 ms on Windows unless
    // the process asked for finer); the due times stay on their grid all the same.
    return pin_->WaitUnlessInterrupted(nullptr, static_cast<DWORD>(ms));
  }

 private:
  framework::CSourceStream* pin_;
  platform::WaitableTimer* timer_;
};

// A caller-owned copy in task memory, or null with everything freed.
AM_MEDIA_TYPE* AllocateCopy(const AM_MEDIA_TYPE& source) noexcept {
  auto* copy = static_cast<AM_MEDIA_TYPE*>(::CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!copy) return nullptr;
  if (FAILED(framework::DuplicateMediaType(copy, &source))) {
    framework::FreeMediaTypeContents(copy);
    ::CoTaskMemFree(copy);
    return nullptr;
  }
  return copy;
}

}  // namespace

CVeltranoVirtualCameraStream::CVeltranoVirtualCameraStream(HRESULT* result, CVeltranoVirtualCamera* filter) noexcept
    : CSourceStream(result, filter, kCapturePinName), camera_(filter) {
  try {
    modes_ = OfferedCaptureModes();
  } catch (const std::bad_alloc&) {
    framework::StoreResult(result, E_OUTOFMEMORY);
    return;
  }
  framework::CMediaTypeRecord type;
  HRESULT hr = MediaTypeAt(0, &type);
  if (hr == S_OK) hr = ReplaceCurrentMediaType(&type);
  if (hr != S_OK) framework::StoreResult(result, FAILED(hr) ? hr : E_UNEXPECTED);
}

// Members go in reverse order: the section view, the placeholder cache, the delivery
// lock, the mode list; then the source-stream teardown detaches the pin.
CVeltranoVirtualCameraStream::~CVeltranoVirtualCameraStream() = default;

STDMETHODIMP CVeltranoVirtualCameraStream::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IAMStreamConfig)) return HandOutInterface(static_cast<IAMStreamConfig*>(this), out);
  if (IsEqualIID(iid, IID_IKsPropertySet)) return HandOutInterface(static_cast<IKsPropertySet*>(this), out);
  return owner()->QueryInterface(iid, out);
}

// ---- Formats -------------------------------------------------------------------

HRESULT CVeltranoVirtualCameraStream::MediaTypeAt(LONG position, framework::CMediaTypeRecord* type) {
  if (!type) return E_POINTER;
  if (position < 0) return E_INVALIDARG;
  {
    // Once a client chose a format, it is the one type offered: a connection made by
    // enumeration afterwards (the graph's Reconnect, the capture graph builder) takes
    // it rather than another listed mode the peer happens to take first. It is the
    // type as SetFormat completed it: the current type may carry a later peer's
    // rcTarget, bit rate or trailing bytes.
    auto guard = chosen_lock_.Lock();
    if (format_chosen_) {
      if (position > 0) return VFW_S_NO_MORE_ITEMS;
      // The record keeps its fields when no block can be had; its old block goes.
      BYTE* block = type->EnsureFormatBlock(chosen_type_.cbFormat);
      if (!block) return E_OUTOFMEMORY;
      std::memcpy(block, chosen_type_.pbFormat, chosen_type_.cbFormat);
      type->cbFormat = chosen_type_.cbFormat;  // a larger old block may have been kept
      type->majortype = chosen_type_.majortype;
      type->subtype = chosen_type_.subtype;
      type->bFixedSizeSamples = chosen_type_.bFixedSizeSamples;
      type->bTemporalCompression = chosen_type_.bTemporalCompression;
      type->lSampleSize = chosen_type_.lSampleSize;
      type->formattype = chosen_type_.formattype;
      return S_OK;
    }
  }
  if (static_cast<size_t>(position) >= modes_.size()) return VFW_S_NO_MORE_ITEMS;
  return BuildModeMediaType(modes_[position], type);
}

HRESULT CVeltranoVirtualCameraStream::ValidateMediaType(const AM_MEDIA_TYPE* type) {
  // The set SetFormat accepts, whatever a client chose before: a peer that names a
  // mode outright gets it, as that client could have by calling SetFormat.
  return MatchOfferedMode(type, modes_, nullptr) ? S_OK : E_INVALIDARG;
}

HRESULT CVeltranoVirtualCameraStream::AdoptMediaType(const AM_MEDIA_TYPE* type) {
  // The connection's type, completed where the peer left fields to the camera, so
  // that buffers and samples are sized by the mode.
  CaptureMode mode;
  if (!MatchOfferedMode(type, modes_, &mode)) return CSourceStream::AdoptMediaType(type);
  framework::CMediaTypeRecord completed;
  const HRESULT hr = CompleteModeMediaType(*type, mode, &completed);
  if (FAILED(hr)) return hr;
  return ReplaceCurrentMediaType(&completed);
}

REFERENCE_TIME CVeltranoVirtualCameraStream::CurrentFrameInterval() const noexcept {
  framework::CMediaTypeRecord type;
  if (FAILED(CopyCurrentMediaType(&type))) return 0;
  const VIDEOINFOHEADER* info = VideoInfoOf(type);
  return info ? info->AvgTimePerFrame : 0;
}

LONG CVeltranoVirtualCameraStream::TypeListVersion() { return 1 + format_choices_.load(); }

HRESULT CVeltranoVirtualCameraStream::SizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  auto guard = lock()->Lock();
  const VIDEOINFOHEADER* info = VideoInfoOf(current_media_type());
  request->cBuffers = 1;
  request->cbBuffer = info ? static_cast<LONG>(info->bmiHeader.biSizeImage) : 0;
  ALLOCATOR_PROPERTIES actual = {};
  const HRESULT hr = allocator->SetProperties(request, &actual);
  if (FAILED(hr)) return hr;
  return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

HRESULT CVeltranoVirtualCameraStream::OnDeactivate() {
  // Flushing first releases a downstream Receive that holds the worker, so the stop
  // below can reach it; the end of the flush follows once the worker has ended.
  SendBeginFlush();
  const HRESULT hr = CSourceStream::OnDeactivate();
  SendEndFlush();
  return hr;
}

HRESULT CVeltranoVirtualCameraStream::OnPausing() {
  const HRESULT hr = CSourceStream::OnPausing();
  // The worker may not come back before Run: a renderer that prerolls keeps it inside
  // Receive. The delivery lock is never held across Receive, so this cannot wait for
  // that. A fill under way that maps the section again is dropped (the delivery was
  // interrupted), and OnStreamingEnd releases the view after it.
  auto guard = delivery_lock_.Lock();
  reader_.Release();
  return hr;
}

// ---- IAMStreamConfig -----------------------------------------------------------

STDMETHODIMP CVeltranoVirtualCameraStream::SetFormat(AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  platform::ComPtr<IPin> peer;
  platform::ComPtr<IFilterGraph> graph;
  {
    // Held from the state test to the reset, so a concurrent Pause cannot start a
    // worker on a half-changed format; released before the graph reconnects us.
    auto guard = lock()->Lock();
    // A worker left running by a stop that could not decommit still reads the format.
    if (filter()->state() != State_Stopped || WorkerMayStream()) return VFW_E_NOT_STOPPED;
    // Any offered mode, whatever was chosen before.
    CaptureMode mode;
    if (!MatchOfferedMode(type, modes_, &mode)) return E_INVALIDARG;
    framework::CMediaTypeRecord completed;
    HRESULT hr = CompleteModeMediaType(*type, mode, &completed);
    // The copy offered from now on is made before anything changes: the previous
    // types stay when a copy runs out of memory.
    framework::CMediaTypeRecord offered;
    if (SUCCEEDED(hr)) hr = offered.Assign(&completed);
    if (SUCCEEDED(hr)) hr = ReplaceCurrentMediaType(&completed);
    if (FAILED(hr)) return hr;
    {
      auto chosen_guard = chosen_lock_.Lock();
      std::swap(static_cast<AM_MEDIA_TYPE&>(chosen_type_), static_cast<AM_MEDIA_TYPE&>(offered));
      format_chosen_ = true;
    }
    // The offered list changed: enumerators made before must resynchronise.
    format_choices_.fetch_add(1);
    ResetTiming();
    if (ConnectedTo(peer.put()) == S_OK && peer) graph = platform::ComPtr<IFilterGraph>(filter()->graph());
  }
  // The graph's answer does not undo the accepted format.
  if (graph) graph->Reconnect(static_cast<IPin*>(this));
  return S_OK;
}

STDMETHODIMP CVeltranoVirtualCameraStream::GetFormat(AM_MEDIA_TYPE** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto* copy = static_cast<AM_MEDIA_TYPE*>(::CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!copy) return E_OUTOFMEMORY;
  if (FAILED(CopyCurrentMediaType(copy))) {
    framework::FreeMediaTypeContents(copy);
    ::CoTaskMemFree(copy);
    return E_OUTOFMEMORY;
  }
  *out = copy;
  return S_OK;
}

STDMETHODIMP CVeltranoVirtualCameraStream::GetNumberOfCapabilities(int* count, int* size) {
  if (!count || !size) return E_POINTER;
  *count = static_cast<int>(modes_.size());
  *size = kStreamCapsSize;
  return S_OK;
}

STDMETHODIMP CVeltranoVirtualCameraStream::GetStreamCaps(int index, AM_MEDIA_TYPE** out, BYTE* caps) {
  if (!out || !caps) return E_POINTER;
  *out = nullptr;
  // E_INVALIDARG rather than S_FALSE: applications loop on the count they were given.
  if (index < 0 || static_cast<size_t>(index) >= modes_.size()) return E_INVALIDARG;
  // Every mode, whatever the pin offers for connections after a client's choice.
  framework::CMediaTypeRecord type;
  const HRESULT hr = BuildModeMediaType(modes_[index], &type);
  if (FAILED(hr)) return hr;
  AM_MEDIA_TYPE* copy = AllocateCopy(type);
  if (!copy) return E_OUTOFMEMORY;
  *out = copy;
  FillStreamCaps(modes_[index], caps);
  return S_OK;
}

// ---- IKsPropertySet ------------------------------------------------------------

STDMETHODIMP CVeltranoVirtualCameraStream::Set(REFGUID, DWORD, void*, DWORD, void*, DWORD) {
  return E_NOTIMPL;
}

STDMETHODIMP CVeltranoVirtualCameraStream::Get(REFGUID set, DWORD id, void*, DWORD, void* data, DWORD data_size,
                                               DWORD* returned) {
  if (!IsEqualGUID(set, AMPROPSETID_Pin)) return E_PROP_SET_UNSUPPORTED;
  if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (!data && !returned) return E_POINTER;
  if (returned) *returned = sizeof(GUID);
  if (!data) return S_OK;  // a size query
  if (data_size < sizeof(GUID)) return E_UNEXPECTED;
  std::memcpy(data, &PIN_CATEGORY_CAPTURE, sizeof(GUID));
  return S_OK;
}

STDMETHODIMP CVeltranoVirtualCameraStream::QuerySupported(REFGUID set, DWORD id, DWORD* support) {
  if (!IsEqualGUID(set, AMPROPSETID_Pin)) return E_PROP_SET_UNSUPPORTED;
  if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (support) *support = KSPROPERTY_SUPPORT_GET;
  return S_OK;
}

// ---- Delivery ------------------------------------------------------------------

void CVeltranoVirtualCameraStream::ResetTiming() noexcept { pacer_.Reset(); }

HRESULT CVeltranoVirtualCameraStream::OnWorkerThreadStart() {
  ResetTiming();
  if (high_resolution_allowed_.load()) pacing_timer_ = platform::WaitableTimer::CreateHighResolution();
  // Runs on the worker while Pause waits for it: the decoding is done before Run.
  VideoFormat format;
  if (!ReadVideoFormat(current_media_type(), &format) || format.image_size <= 0) return S_OK;
  auto guard = delivery_lock_.Lock();
  placeholder_.Prepare(static_cast<uint32_t>(format.image_size), format);
  return S_OK;
}

HRESULT CVeltranoVirtualCameraStream::OnWorkerThreadExit() {
  pacing_timer_.reset();
  auto guard = delivery_lock_.Lock();
  reader_.Release();
  return S_OK;
}

HRESULT CVeltranoVirtualCameraStream::OnStreamingStart() {
  pacer_.BeginRun();
  return S_OK;
}

HRESULT CVeltranoVirtualCameraStream::OnStreamingEnd() {
  // Nothing is delivered until the next Run: a view kept meanwhile would keep a section
  // its producer closed alive, and a producer of a larger frame could not replace it.
  auto guard = delivery_lock_.Lock();
  reader_.Release();
  return S_OK;
}

HRESULT CVeltranoVirtualCameraStream::FillSample(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  BYTE* buffer = nullptr;
  sample->GetPointer(&buffer);  // only the pointer tells
  if (!buffer) return E_POINTER;
  // No concurrent replacement while the worker streams: SetFormat refuses while a
  // worker may stream, and a reconnection ends the worker before it lets go.
  const VIDEOINFOHEADER* current = VideoInfoOf(current_media_type());
  if (!current) return E_UNEXPECTED;
  const VIDEOINFOHEADER info = *current;

  // The image size as far as this buffer really holds it.
  const LONG image_size = static_cast<LONG>(info.bmiHeader.biSizeImage);
  const LONG buffer_size = sample->GetSize();
  const uint32_t length =
      image_size > 0 && buffer_size > 0 ? static_cast<uint32_t>(std::min(image_size, buffer_size)) : 0;

  PinPacingSource source(this, &pacing_timer_);
  SampleTimes times;
  // Cut short by Stop or Pause: the worker sees the same and drops the sample.
  if (!pacer_.Next(info.AvgTimePerFrame, source, &times)) return S_OK;
  sample->SetTime(&times.start, &times.stop);
  sample->SetSyncPoint(TRUE);
  sample->SetDiscontinuity(times.discontinuity ? TRUE : FALSE);

  // The picture last, after the wait, so the sample carries the newest frame there is
  // when it leaves.
  CopyPicture(buffer, length);
  sample->SetActualDataLength(static_cast<LONG>(length));
  return S_OK;
}

uint32_t CVeltranoVirtualCameraStream::CopyPicture(BYTE* buffer, uint32_t length) noexcept {
  if (length == 0) return 0;
  VideoFormat format;
  if (!ReadVideoFormat(current_media_type(), &format)) {
    // Grey of the subtype the type names, where it names one the camera knows.
    const SubtypeInfo* subtype = FindSubtype(current_media_type().subtype);
    PlaceholderCache::FillGrey(buffer, length, subtype ? subtype->format : imaging::PixelFormat::kYuy2);
    return length;
  }
  auto guard = delivery_lock_.Lock();
  reader_.Refresh();
  if (CopyProducerFrame(buffer, length, format)) return length;
  return placeholder_.Fill(buffer, length, format);
}

bool CVeltranoVirtualCameraStream::CopyProducerFrame(BYTE* buffer, uint32_t length,
                                                     const VideoFormat& format) noexcept {
  // Only a buffer that takes a whole frame of the format: a shorter one gets grey.
  const uint32_t frame_bytes = imaging::FrameBytes(format.format, format.width, format.height);
  if (frame_bytes == 0 || frame_bytes != length) return false;
  return reader_.ReadNewest([&](const channel::ProducerFrame& frame) {
    // The producer's own format: one copy, straight from the section.
    if (format.format == imaging::PixelFormat::kYuy2 && frame.width == format.width &&
        frame.height == format.height && frame.stride == 2 * frame.width) {
      std::memcpy(buffer, frame.data, frame.size);
      return true;
    }
    if (!converter_.IsConfiguredFor(frame.width, frame.height, format.format, format.width, format.height) &&
        !converter_.Configure(frame.width, frame.height, format.format, format.width, format.height)) {
      return false;  // out of memory for the converter: the placeholder this once
    }
    return converter_.Convert(frame.data, frame.stride, buffer);
  });
}

}  // namespace veltrano::camera
