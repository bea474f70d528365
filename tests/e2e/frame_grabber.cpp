#include "frame_grabber.h"

#include <gtest/gtest.h>

#include <cstring>

namespace veltrano::test {

FrameGrabber::FrameGrabber() : arrived_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  records_.reserve(4096);
}

FrameGrabber::~FrameGrabber() { EXPECT_EQ(1, refs_) << "the grabber still holds its callback"; }

STDMETHODIMP FrameGrabber::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_ISampleGrabberCB) {
    *out = static_cast<ISampleGrabberCB*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) FrameGrabber::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
STDMETHODIMP_(ULONG) FrameGrabber::Release() { return static_cast<ULONG>(::InterlockedDecrement(&refs_)); }

STDMETHODIMP FrameGrabber::SampleCB(double, IMediaSample* sample) {
  SampleRecord record;
  record.arrival_qpc = QpcNow();
  record.length = sample->GetActualDataLength();
  record.time_result = sample->GetTime(&record.start, &record.end);
  record.discontinuity = sample->IsDiscontinuity() == S_OK;
  record.sync_point = sample->IsSyncPoint() == S_OK;
  BYTE* data = nullptr;
  std::vector<uint8_t> bytes;
  if (SUCCEEDED(sample->GetPointer(&data)) && data && record.length > 0) {
    bytes.assign(data, data + record.length);
    const size_t size = static_cast<size_t>(record.length);
    record.producer_frame = MatchProducerFrame(data, size, &record.header);
    constexpr size_t kBackground = 100 * kStride + 100 * 2;
    if (size >= kBackground + 4) std::memcpy(record.background, data + kBackground, 4);
    record.hash = HashFrame(data, size);
  }
  {
    const auto guard = lock_.Lock();
    records_.push_back(record);
    last_sample_.swap(bytes);
  }
  ::SetEvent(arrived_.get());
  return S_OK;
}

STDMETHODIMP FrameGrabber::BufferCB(double, BYTE*, long) {
  ADD_FAILURE() << "BufferCB called; the grabber was set up for SampleCB";
  return E_NOTIMPL;
}

size_t FrameGrabber::Count() {
  const auto guard = lock_.Lock();
  return records_.size();
}

std::vector<SampleRecord> FrameGrabber::Records() {
  const auto guard = lock_.Lock();
  return records_;
}

std::vector<uint8_t> FrameGrabber::LastSample() {
  const auto guard = lock_.Lock();
  return last_sample_;
}

bool FrameGrabber::WaitForCount(size_t count, DWORD timeout_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (Count() < count) {
    if (::GetTickCount64() >= deadline) return false;
    ::WaitForSingleObject(arrived_.get(), 20);
  }
  return true;
}

}  // namespace veltrano::test
