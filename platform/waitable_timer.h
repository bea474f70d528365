// Owner of one waitable timer, made with high resolution where the system offers it
// (Windows 10 1803 and later): such a timer ends its wait on time whatever timer
// resolution the process runs at, without changing that resolution for the whole
// process. Thread contract: used by one thread at a time (the worker that made it).
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/unique_handle.h"

// Published value; missing from mingw-w64's headers.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace veltrano::platform {

class WaitableTimer {
 public:
  WaitableTimer() noexcept = default;
  WaitableTimer(WaitableTimer&&) noexcept = default;
  WaitableTimer& operator=(WaitableTimer&&) noexcept = default;
  WaitableTimer(const WaitableTimer&) = delete;
  WaitableTimer& operator=(const WaitableTimer&) = delete;

  //! An auto-reset high-resolution timer, or an empty owner where the system refuses
  //! the flag (older Windows answers ERROR_INVALID_PARAMETER). Wine 8 accepts the flag
  //! (it ignores flags it does not know).
  static WaitableTimer CreateHighResolution() noexcept {
    WaitableTimer timer;
    timer.handle_.reset(::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                                 TIMER_ALL_ACCESS));
    return timer;
  }

  explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
  HANDLE get() const noexcept { return handle_.get(); }
  void reset() noexcept { handle_.reset(); }

  //! Signals the timer `duration` (100 ns units, at least 1) from now, replacing an
  //! earlier setting; false when the system refuses.
  bool Arm(int64_t duration) noexcept {
    if (!handle_) return false;
    LARGE_INTEGER due;
    due.QuadPart = -(duration > 0 ? duration : 1);  // negative: relative to now
    return ::SetWaitableTimer(handle_.get(), &due, 0, nullptr, nullptr, FALSE) != FALSE;
  }

 private:
  UniqueHandle handle_;
};

}  // namespace veltrano::platform
