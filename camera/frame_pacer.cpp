// Sample times on the stream clock's grid, and the wait for each, bounded by the clock
// and by real time alike.
#include "camera/frame_pacer.h"

#include <algorithm>

namespace veltrano::camera {

int64_t QueryRealTime() noexcept {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  // Split to keep the product inside 64 bits for any counter value.
  const int64_t seconds = counter.QuadPart / frequency.QuadPart;
  const int64_t rest = counter.QuadPart % frequency.QuadPart;
  return seconds * 10000000 + rest * 10000000 / frequency.QuadPart;
}

void FramePacer::Reset() noexcept { *this = FramePacer(); }

namespace {

REFERENCE_TIME WithinLimit(REFERENCE_TIME time) noexcept {
  return std::clamp(time, -FramePacer::kTimeLimit, FramePacer::kTimeLimit);
}

}  // namespace

bool FramePacer::Now(PacingSource& source, REFERENCE_TIME* now) noexcept {
  const bool clock = SUCCEEDED(source.StreamTime(now));
  if (!clock) *now = source.RealTime() - origin_;
  *now = WithinLimit(*now);
  return clock;
}

bool FramePacer::Next(REFERENCE_TIME period, PacingSource& source, SampleTimes* times) noexcept {
  REFERENCE_TIME now = 0;
  bool clock = Now(source, &now);
  int64_t real_now = source.RealTime();
  if (period <= 0) {
    // No rate to keep: the sample leaves at once, stamped with the stream time.
    times->start = std::max<REFERENCE_TIME>({now, 0, has_last_ ? last_stop_ : 0});
    times->stop = times->start;
    times->discontinuity = !anchored_;
    anchored_ = has_last_ = true;
    last_stop_ = times->stop;
    return true;
  }
  period = std::min(period, kTimeLimit);

  REFERENCE_TIME due = 0;
  int64_t real_deadline = 0;
  bool discontinuity = false;
  REFERENCE_TIME gap = 0;  // grid points left out after this sample
  int64_t origin = origin_;
  if (!anchored_ || clock != clock_mode_) {
    if (!clock) {
      // The stand-in stream time starts where the last sample ended.
      origin = real_now - (has_last_ ? last_stop_ : 0);
      now = WithinLimit(real_now - origin);
    }
    due = std::max<REFERENCE_TIME>(now, 0);
    if (has_last_ && last_stop_ > due && last_stop_ - due <= kMaxResumeWait) due = last_stop_;
    real_deadline = real_now + (due - now);
    discontinuity = true;
  } else {
    due = next_due_;
    // A grid point left out after the last sample puts this one up to one more interval
    // ahead of the clock, and that is no sign of a clock that went back or stands still.
    const REFERENCE_TIME ahead_bound = period + (next_due_ - last_stop_) + kSlack;
    if (now > due) {
      // Late: the latest grid point, delivered at once. The next grid point, when less
      // than half an interval away, is left out too, so that no two samples leave
      // closer together than that.
      due += (now - due) / period * period;
      if (due + period - now < period / 2) gap = period;
      if (due != next_due_ || gap != 0) ++skipped_;
      real_deadline = real_now;
    } else if (due - now > ahead_bound && now != last_now_) {
      // The clock went back: the grid restarts one interval from now.
      due = std::max<REFERENCE_TIME>(now, 0) + period;
      discontinuity = true;
      ++restarts_;
      real_deadline = real_now + (due - now);
    } else if (due - now > ahead_bound) {
      // The clock stands still: the rate is kept in real time.
      real_deadline = last_release_ + period;
    } else {
      real_deadline = real_now + std::max<REFERENCE_TIME>(due - now, 0);
    }
  }

  // Until the clock reaches the due time, or the real-time bound passes (a clock
  // that stops or runs slow cannot hold the sample longer than it first asked for).
  for (;;) {
    const int64_t left = std::min<int64_t>(due - now, real_deadline - real_now);
    if (left <= 0) break;
    if (!source.Wait(left)) return false;
    real_now = source.RealTime();
    if (clock) {
      if (FAILED(source.StreamTime(&now))) break;
      now = WithinLimit(now);
    } else {
      now = WithinLimit(real_now - origin);
    }
  }

  times->start = due;
  times->stop = due + period;
  times->discontinuity = discontinuity;
  anchored_ = true;
  clock_mode_ = clock;
  has_last_ = true;
  next_due_ = times->stop + gap;
  last_stop_ = times->stop;
  last_now_ = now;
  last_release_ = real_now;
  origin_ = origin;
  return true;
}

}  // namespace veltrano::camera
