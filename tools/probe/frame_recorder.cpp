#include "tools/probe/frame_recorder.h"

#include <cstring>
#include <new>

#include "tools/common/frame_stamp.h"
#include "tools/common/performance_clock.h"

namespace veltrano::tools {

size_t FrameRecordCapacity(double seconds, double nominal_fps) {
  // Compared as a double: a product past SIZE_MAX does not convert to size_t.
  const double wanted = seconds * nominal_fps * 2 + 256;
  return wanted < static_cast<double>(kMaxFrameRecords) ? static_cast<size_t>(wanted) : kMaxFrameRecords;
}

CFrameRecorder* CFrameRecorder::Create(const FrameLayout& layout, size_t expected_frames, int snapshot_slots) {
  if (FrameBytes(layout) == 0) return nullptr;
  CFrameRecorder* recorder = new (std::nothrow) CFrameRecorder(layout);
  if (!recorder) return nullptr;
  try {
    recorder->records_.reserve(expected_frames);
    recorder->snapshots_.resize(static_cast<size_t>(snapshot_slots), std::vector<uint8_t>(recorder->frame_bytes_));
  } catch (const std::bad_alloc&) {
    recorder->Release();
    return nullptr;
  }
  return recorder;
}

CFrameRecorder::CFrameRecorder(const FrameLayout& layout)
    : layout_(layout),
      frame_bytes_(FrameBytes(layout)),
      design_(FitRect(kStampDesignWidth, kStampDesignHeight, layout.width, layout.height)) {}

STDMETHODIMP CFrameRecorder::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_ISampleGrabberCB) {
    *object = static_cast<ISampleGrabberCB*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CFrameRecorder::AddRef() { return static_cast<ULONG>(++references_); }

STDMETHODIMP_(ULONG) CFrameRecorder::Release() {
  const long count = --references_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

STDMETHODIMP CFrameRecorder::SampleCB(double sample_time, IMediaSample* sample) {
  FrameRecord record;
  record.arrival = PerformanceTime100ns();
  if (!sample) return S_OK;
  REFERENCE_TIME start = 0;
  REFERENCE_TIME end = 0;
  // S_OK or VFW_S_NO_STOP_TIME both give a start time.
  if (SUCCEEDED(sample->GetTime(&start, &end))) {
    record.sample_start = start;
    record.has_sample_time = true;
  }
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  const long length = sample->GetActualDataLength();
  const bool whole_frame = data && length > 0 && static_cast<size_t>(length) >= frame_bytes_;
  if (whole_frame) {
    if (const std::optional<FrameStamp> stamp = ReadFrameStamp(FrameView(layout_, data, frame_bytes_), design_)) {
      record.stamped = true;
      record.counter = stamp->counter;
      record.send_time = stamp->send_time;
    }
  }
  auto guard = lock_.Lock();
  if (records_.size() < records_.capacity()) {
    records_.push_back(record);
  } else {
    ++overflow_;
  }
  if (whole_frame && snapshots_taken_ < snapshots_.size() && snapshot_requested_.exchange(false)) {
    std::memcpy(snapshots_[snapshots_taken_++].data(), data, frame_bytes_);
  }
  return S_OK;
}

STDMETHODIMP CFrameRecorder::BufferCB(double sample_time, BYTE* buffer, LONG length) {
  // The grabber is set to call SampleCB only.
  return E_NOTIMPL;
}

std::vector<FrameRecord> CFrameRecorder::Records() {
  auto guard = lock_.Lock();
  return records_;
}

std::vector<std::vector<uint8_t>> CFrameRecorder::Snapshots() {
  auto guard = lock_.Lock();
  return std::vector<std::vector<uint8_t>>(snapshots_.begin(), snapshots_.begin() + snapshots_taken_);
}

size_t CFrameRecorder::FrameCount() {
  auto guard = lock_.Lock();
  return records_.size() + overflow_;
}

size_t CFrameRecorder::OverflowCount() {
  auto guard = lock_.Lock();
  return overflow_;
}

}  // namespace veltrano::tools
