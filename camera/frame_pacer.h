// Holds a source's samples back until the graph's stream time reaches each sample's
// due time, so that samples leave at the format's frame rate. Owned by one worker
// thread; Reset may also run while no worker exists.
//
// The due time is the sample's start time plus a clock offset taken at the first
// sample after a reset. A graph that pauses the filter and then runs it with a start
// time in the future (Wine's graph runs 200 ms ahead) shifts the stream time under
// the offset; a clock may also jump or stop. When a due time lies more than one
// period plus 20 ms away from the stream time, in either direction, the offset is
// taken again so that the sample is due one period from now. Each wait is bounded
// by the clock and by real time alike, and never exceeds one period plus 20 ms.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>

namespace veltrano::camera {

//! Where the pacer reads its two times and how it sleeps.
class PacingSource {
 public:
  //! The graph's stream time; a failure means there is no clock.
  virtual HRESULT StreamTime(REFERENCE_TIME* out) noexcept = 0;
  //! A monotonic real-time clock in 100 ns units.
  virtual int64_t RealTime() noexcept = 0;
  virtual void SleepMilliseconds(DWORD milliseconds) noexcept = 0;

 protected:
  ~PacingSource() = default;
};

//! Real time in 100 ns units from QueryPerformanceCounter.
int64_t QueryRealTime() noexcept;

class FramePacer {
 public:
  //! Slack beyond one period that a due time may lie away before the offset is
  //! taken again, and the most a single wait may exceed a period (100 ns units).
  static constexpr REFERENCE_TIME kSlack = 200000;
  //! Longest single sleep while polling the clock (milliseconds).
  static constexpr DWORD kPollMilliseconds = 10;

  //! Forgets the offset: the next paced sample is due at once.
  void Reset() noexcept { offset_known_ = false; offset_ = 0; }

  //! Waits until the sample starting at `start` is due, at `period` per frame.
  void Pace(REFERENCE_TIME start, REFERENCE_TIME period, PacingSource& source) noexcept;

  bool offset_known() const noexcept { return offset_known_; }
  REFERENCE_TIME offset() const noexcept { return offset_; }
  //! Number of times the offset was taken again since construction (diagnostics).
  uint32_t retakes() const noexcept { return retakes_; }

 private:
  //! Takes the offset again so that the sample starting at `start` is due `delay`
  //! after the stream time `now`; returns that due time.
  REFERENCE_TIME Retake(REFERENCE_TIME start, REFERENCE_TIME now, REFERENCE_TIME delay) noexcept;

  REFERENCE_TIME offset_ = 0;
  bool offset_known_ = false;
  uint32_t retakes_ = 0;
};

}  // namespace veltrano::camera
