#include "framework/test_source_filter.h"

#include <cstring>
#include <new>

#include <gtest/gtest.h>

namespace veltrano::source_test {

void MakeFrameType(AM_MEDIA_TYPE* type) {
  auto* format = static_cast<VIDEOINFOHEADER*>(::CoTaskMemAlloc(sizeof(VIDEOINFOHEADER)));
  ASSERT_NE(nullptr, format);
  std::memset(format, 0, sizeof(*format));
  format->AvgTimePerFrame = 333333;
  format->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format->bmiHeader.biWidth = kFrameWidth;
  format->bmiHeader.biHeight = kFrameHeight;
  format->bmiHeader.biPlanes = 1;
  format->bmiHeader.biBitCount = 32;
  format->bmiHeader.biCompression = BI_RGB;
  format->bmiHeader.biSizeImage = kFrameBytes;
  type->majortype = MEDIATYPE_Video;
  type->subtype = MEDIASUBTYPE_RGB32;
  type->bFixedSizeSamples = TRUE;
  type->bTemporalCompression = FALSE;
  type->lSampleSize = kFrameBytes;
  type->formattype = FORMAT_VideoInfo;
  type->pUnk = nullptr;
  type->cbFormat = sizeof(VIDEOINFOHEADER);
  type->pbFormat = reinterpret_cast<BYTE*>(format);
}

TestStream::TestStream(HRESULT* result, framework::CSource* filter, StreamLog* log) noexcept
    : CSourceStream(result, filter, L"Out"), log_(log) {}

TestStream::~TestStream() {
  LONG expected = 0;
  log_->pin_destroyed_step.compare_exchange_strong(expected, log_->Step());
}

HRESULT TestStream::FillSample(IMediaSample* sample) {
  ++log_->fills;
  if (const DWORD wait = fill_wait_ms.load()) {
    ++fill_waits;
    const ULONGLONG begun = ::GetTickCount64();
    if (!WaitUnlessInterrupted(nullptr, wait)) {
      ++interrupted_fills;
    } else if (::GetTickCount64() - begun + 20 < wait) {  // 20 ms: the tick's granularity
      ++short_fill_waits;
    }
  }
  const LONG frame = next_frame++;
  if (frame == end_at_frame.load()) return end_result.load();
  BYTE* buffer = nullptr;
  if (FAILED(sample->GetPointer(&buffer)) || sample->GetSize() < kFrameBytes) return E_UNEXPECTED;
  std::memset(buffer, 0, kFrameBytes);
  std::memcpy(buffer, &frame, sizeof(frame));
  sample->SetActualDataLength(kFrameBytes);
  sample->SetTime(nullptr, nullptr);
  return S_OK;
}

HRESULT TestStream::OnWorkerThreadStart() {
  ++log_->thread_starts;
  return start_result.load();
}

HRESULT TestStream::OnWorkerThreadExit() {
  ++log_->thread_exits;
  log_->last_exit_step = log_->Step();
  return S_OK;
}

HRESULT TestStream::OnStreamingStart() {
  ++log_->streaming_starts;
  return S_OK;
}

HRESULT TestStream::PreferredMediaType(framework::CMediaTypeRecord* type) {
  type->Clear();
  MakeFrameType(type);
  return S_OK;
}

HRESULT TestStream::SizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  ALLOCATOR_PROPERTIES wanted = *request;
  wanted.cBuffers = buffer_count;
  wanted.cbBuffer = kFrameBytes;
  if (wanted.cbAlign == 0) wanted.cbAlign = 1;
  ALLOCATOR_PROPERTIES actual{};
  const HRESULT hr = allocator->SetProperties(&wanted, &actual);
  if (FAILED(hr)) return hr;
  return actual.cbBuffer < kFrameBytes ? E_FAIL : S_OK;
}

TestSourceFilter::TestSourceFilter(StreamLog* log, HRESULT* result) noexcept
    : CSource(L"test source", nullptr, kTestSourceClsid, result), log_(log) {}

TestSourceFilter::~TestSourceFilter() { ++log_->filter_destroyed; }

TestSourceFilter* TestSourceFilter::Create(StreamLog* log, int pins, HRESULT* result) {
  HRESULT hr = S_OK;
  auto* filter = new (std::nothrow) TestSourceFilter(log, &hr);
  if (!filter) {
    if (result) *result = E_OUTOFMEMORY;
    return nullptr;
  }
  for (int i = 0; i < pins; ++i) {
    // The pin attaches itself; the filter owns and destroys it.
    auto* pin = new (std::nothrow) TestStream(&hr, filter, log);
    if (!pin) hr = E_OUTOFMEMORY;
    if (FAILED(hr)) {
      // A pin that could not attach itself is not the filter's to destroy.
      if (pin && filter->PinPosition(pin) == 0) delete pin;
      break;
    }
  }
  filter->InnerAddRef();
  if (FAILED(hr)) {
    filter->InnerRelease();
    filter = nullptr;
  }
  if (result) *result = hr;
  return filter;
}

TestStream* TestSourceFilter::stream(int index) const noexcept {
  auto* self = const_cast<TestSourceFilter*>(this);
  return static_cast<TestStream*>(self->CSource::PinAt(index));
}

LONG TestSourceFilter::PinListVersion() {
  const LONG version = version_override.load();
  return version ? version : CSource::PinListVersion();
}

framework::CBasePin* TestSourceFilter::PinAt(LONG index) {
  if (index == null_pin_index.load()) return nullptr;
  return CSource::PinAt(index);
}

}  // namespace veltrano::source_test
