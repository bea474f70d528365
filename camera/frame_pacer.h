// Gives each sample of a live source its times and holds it back until it is due:
// a sample's start time is the stream time at which it leaves, so that a renderer
// that presents by the clock shows it at once. Owned by one worker thread; Reset and
// BeginRun may also run while no worker exists.
//
// Due times lie on a grid of one frame interval, anchored at the first sample of each
// run: stream time max(0, now), since Wine's graph runs 200 ms ahead of its clock, so
// the stream time starts below zero. A graph that resumes a paused stream continues
// its stream time from where it paused (Wine 8 and Windows alike), which may lie up
// to an interval before the end of the last sample: the first sample then waits for
// that end, so that times keep increasing. A late worker leaves at once, stamped with
// the latest grid point; the next grid point is left out when it is less than half
// an interval away, so that missed samples never leave in a burst. A clock that goes
// back restarts the grid one interval from now, marked as a discontinuity: it counts
// as gone back once the next due time lies more than kSlack beyond an interval ahead
// of it (beyond two after a grid point left out), after a jump back of about kSlack
// plus the time the sample took before its wait. Without a clock, a real-time counter
// that starts at the end of the last sample stands in for the stream time. A clock
// that stops holds no sample longer than an interval after the one before it: the
// samples keep their rate in real time and their times run ahead of that clock.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>

namespace veltrano::camera {

//! Where the pacer reads its two times and how it waits.
class PacingSource {
 public:
  //! The graph's stream time; a failure means there is no clock.
  virtual HRESULT StreamTime(REFERENCE_TIME* out) noexcept = 0;
  //! A monotonic real-time clock in 100 ns units.
  virtual int64_t RealTime() noexcept = 0;
  //! Waits about `duration` (100 ns units, positive) of real time, possibly longer
  //! (a coarse timer) or shorter; false when the wait was cut short because the
  //! sample is not to be delivered (the worker has a Stop or Pause to handle).
  virtual bool Wait(int64_t duration) noexcept = 0;

 protected:
  ~PacingSource() = default;
};

//! Real time in 100 ns units from QueryPerformanceCounter.
int64_t QueryRealTime() noexcept;

//! One sample's times.
struct SampleTimes {
  REFERENCE_TIME start = 0;
  REFERENCE_TIME stop = 0;
  //! First sample of a run or of a restarted grid.
  bool discontinuity = false;
};

class FramePacer {
 public:
  //! How far beyond one interval (two after a grid point left out) a due time may lie
  //! ahead of the clock before the clock counts as gone back, or as standing still
  //! when it has not moved since the last sample (100 ns units).
  static constexpr REFERENCE_TIME kSlack = 200000;
  //! The longest wait for the end of the last sample at the start of a run; a stream
  //! time further back has restarted, and the times restart with it.
  static constexpr REFERENCE_TIME kMaxResumeWait = 10000000;
  //! Stream times and intervals are taken within +-2^60 (about 3,650 years): sums and
  //! differences of the times then never overflow, whatever start time Run was given.
  static constexpr REFERENCE_TIME kTimeLimit = REFERENCE_TIME{1} << 60;

  //! Forgets everything (a new worker, a new format): times start again from 0.
  void Reset() noexcept;
  //! A new run: the next sample anchors the grid again and is a discontinuity.
  void BeginRun() noexcept { anchored_ = false; }

  //! Waits until the next sample at `period` per frame is due and gives its times.
  //! False when the wait was cut short: the sample is dropped and the grid stays.
  bool Next(REFERENCE_TIME period, PacingSource& source, SampleTimes* times) noexcept;

  // Diagnostics.
  uint32_t restarts() const noexcept { return restarts_; }
  uint32_t skipped() const noexcept { return skipped_; }

 private:
  //! The stream time, or the stand-in real-time counter (false), within kTimeLimit.
  bool Now(PacingSource& source, REFERENCE_TIME* now) noexcept;

  bool anchored_ = false;
  bool clock_mode_ = false;       // whether the anchored grid runs on the graph's clock
  bool has_last_ = false;
  REFERENCE_TIME next_due_ = 0;   // start of the next sample on the grid
  REFERENCE_TIME last_stop_ = 0;  // end of the last sample given out
  REFERENCE_TIME last_now_ = 0;   // the clock at the last sample, to tell a stopped one
  int64_t last_release_ = 0;      // real time the last sample left
  int64_t origin_ = 0;            // real time of stand-in stream time 0 (no clock)
  uint32_t restarts_ = 0;
  uint32_t skipped_ = 0;
};

}  // namespace veltrano::camera
