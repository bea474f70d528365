// The sample grabber's callback object. SampleCB runs on the camera's streaming
// thread, so it only records times, reads the feed stamp (128 pixels, in any subtype)
// and, when the main thread asked for one, copies the frame for a snapshot. The main thread reads
// the records through the accessors once the graph has stopped.
#pragma once

#include <dshow.h>
#include <qedit.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include "platform/critical_section.h"
#include "tools/common/frame_decoder.h"
#include "tools/probe/frame_record.h"

namespace veltrano::tools {

//! Records to reserve for `seconds` of frames at `nominal_fps`: twice the nominal
//! count plus some, at most kMaxFrameRecords. A device may claim any frame interval;
//! the cap keeps the store allocatable in a 32-bit probe too (frames past it are
//! counted, not timed).
inline constexpr size_t kMaxFrameRecords = size_t{1} << 22;  // 160 MiB of records
size_t FrameRecordCapacity(double seconds, double nominal_fps);

class CFrameRecorder final : public ISampleGrabberCB {
 public:
  //! Reference count 1 (the creator's). `expected_frames` sizes the record store so
  //! that the streaming thread does not allocate. Null when out of memory or when no
  //! frame can have `layout`.
  static CFrameRecorder* Create(const FrameLayout& layout, size_t expected_frames, int snapshot_slots);

  CFrameRecorder(const CFrameRecorder&) = delete;
  CFrameRecorder& operator=(const CFrameRecorder&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // ISampleGrabberCB
  STDMETHODIMP SampleCB(double sample_time, IMediaSample* sample) override;
  STDMETHODIMP BufferCB(double sample_time, BYTE* buffer, LONG length) override;

  //! Asks for a copy of the next frame that arrives (main thread).
  void RequestSnapshot() { snapshot_requested_.store(true); }

  //! Copies of the records and snapshots taken so far (whole frames of the layout).
  std::vector<FrameRecord> Records();
  std::vector<std::vector<uint8_t>> Snapshots();
  size_t FrameCount();
  //! Frames whose record did not fit in the store (counted, not timed).
  size_t OverflowCount();

 private:
  explicit CFrameRecorder(const FrameLayout& layout);
  ~CFrameRecorder() = default;

  std::atomic<long> references_{1};
  const FrameLayout layout_;
  const size_t frame_bytes_;
  // Where the feed's 16:9 picture, and so its stamp, lies in a frame of this layout.
  const PictureRect design_;
  std::atomic<bool> snapshot_requested_{false};
  platform::CriticalSection lock_;
  std::vector<FrameRecord> records_;               // capacity fixed at creation
  std::vector<std::vector<uint8_t>> snapshots_;    // preallocated buffers
  size_t snapshots_taken_ = 0;
  size_t overflow_ = 0;
};

}  // namespace veltrano::tools
