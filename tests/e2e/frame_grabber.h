// The sample grabber's callback: records what every delivered sample looked like.
// SampleCB runs on the camera's worker thread; the test thread reads snapshots.
#pragma once

#include <dshow.h>
#include <qedit.h>

#include <cstdint>
#include <vector>

#include "e2e_support.h"
#include "platform/critical_section.h"
#include "platform/unique_handle.h"

namespace veltrano::test {

struct SampleRecord {
  int64_t arrival_qpc = 0;
  long length = 0;
  REFERENCE_TIME start = 0;
  REFERENCE_TIME end = 0;
  HRESULT time_result = E_FAIL;
  bool discontinuity = false;
  bool sync_point = false;
  bool producer_frame = false;  // every byte is a producer frame's
  ProducerFrameHeader header{};
  uint8_t background[4] = {};  // Y0 U Y1 V of the pixel pair at row 100, column 100
  uint64_t hash = 0;
};

class FrameGrabber final : public ISampleGrabberCB {
 public:
  FrameGrabber();
  FrameGrabber(const FrameGrabber&) = delete;
  FrameGrabber& operator=(const FrameGrabber&) = delete;
  ~FrameGrabber();

  // IUnknown: the grabber keeps counted references; the test owns the object.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // ISampleGrabberCB
  STDMETHODIMP SampleCB(double sample_time, IMediaSample* sample) override;
  STDMETHODIMP BufferCB(double sample_time, BYTE* buffer, long length) override;

  size_t Count();
  std::vector<SampleRecord> Records();
  //! The bytes of the newest sample.
  std::vector<uint8_t> LastSample();
  //! Waits until `count` samples have arrived in all; false after `timeout_ms`.
  bool WaitForCount(size_t count, DWORD timeout_ms);
  //! Waits until a sample satisfies `predicate`; false after `timeout_ms`.
  template <typename Predicate>
  bool WaitFor(Predicate predicate, DWORD timeout_ms) {
    const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
    size_t seen = 0;
    for (;;) {
      std::vector<SampleRecord> records = Records();
      for (; seen < records.size(); ++seen) {
        if (predicate(records[seen])) return true;
      }
      if (::GetTickCount64() >= deadline) return false;
      ::WaitForSingleObject(arrived_.get(), 20);
    }
  }
  ULONG references() const { return static_cast<ULONG>(refs_); }

 private:
  LONG refs_ = 1;
  platform::CriticalSection lock_;
  std::vector<SampleRecord> records_;  // guarded by lock_
  std::vector<uint8_t> last_sample_;   // guarded by lock_
  platform::UniqueHandle arrived_;     // auto-reset, set at every sample
};

}  // namespace veltrano::test
