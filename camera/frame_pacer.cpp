// Pacing arithmetic: due time, offset re-takes, and the wait bounded by the clock and
// by real time.
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

void FramePacer::Pace(REFERENCE_TIME start, REFERENCE_TIME period, PacingSource& source) noexcept {
  if (period <= 0) return;
  REFERENCE_TIME now = 0;
  if (FAILED(source.StreamTime(&now))) {
    // No clock: one period of sleep per sample.
    source.SleepMilliseconds(static_cast<DWORD>(std::min<REFERENCE_TIME>(period / 10000, MAXDWORD)));
    return;
  }
  if (!offset_known_) {
    offset_ = now - start;
    offset_known_ = true;
  }
  REFERENCE_TIME due = start + offset_;
  REFERENCE_TIME remaining = due - now;
  const REFERENCE_TIME limit = period + kSlack;
  if (remaining > limit || remaining < -limit) {
    // The stream time moved under the offset (a run with a new start time, a clock
    // that jumped or stopped). Due one period from now, not at once: a stopped clock
    // would otherwise alternate a capped wait with none.
    due = Retake(start, now, period);
    remaining = period;
  }
  if (remaining <= 0) return;

  // The same wait measured in real time: a clock that stops or runs slow cannot hold
  // the sample longer than the time the clock itself asked for.
  const int64_t real_due = source.RealTime() + remaining;
  for (;;) {
    int64_t real_left = real_due - source.RealTime();
    if (real_left <= 0) break;
    const int64_t step = std::min<int64_t>(remaining, real_left) / 10000;
    source.SleepMilliseconds(static_cast<DWORD>(std::clamp<int64_t>(step, 1, kPollMilliseconds)));
    if (FAILED(source.StreamTime(&now))) break;
    remaining = due - now;
    if (remaining > limit || remaining < -limit) {
      // The clock jumped during the wait: this sample keeps its real-time schedule
      // rather than leaving early, and later ones follow from there.
      real_left = std::max<int64_t>(real_due - source.RealTime(), 0);
      due = Retake(start, now, real_left);
      remaining = real_left;
    }
    if (remaining <= 0) break;
  }
}

REFERENCE_TIME FramePacer::Retake(REFERENCE_TIME start, REFERENCE_TIME now, REFERENCE_TIME delay) noexcept {
  offset_ = now + delay - start;
  ++retakes_;
  return now + delay;
}

}  // namespace veltrano::camera
