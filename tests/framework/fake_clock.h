// A reference clock the test moves by hand. Its count starts at 1 (the test's); when
// the count reaches 0 it marks itself released instead of freeing itself, so a later
// GetTime on it is caught as a use after release. Only GetTime and the IUnknown
// methods may be called.
#pragma once

#include <dshow.h>

#include <atomic>

#include "common/com_test_helpers.h"

namespace veltrano::source_test {

class FakeClock final : public test::StackUnknown<IReferenceClock, IID_IReferenceClock> {
 public:
  explicit FakeClock(REFERENCE_TIME time = 0) : time_(time) {}
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  void set_time(REFERENCE_TIME time) noexcept { time_ = time; }
  void set_result(HRESULT result) noexcept { result_ = result; }
  bool released() const noexcept { return ref_count() == 0; }
  //! GetTime calls that met the clock already released (or released during the call).
  LONG calls_after_release() const noexcept { return calls_after_release_.load(); }
  LONG get_time_calls() const noexcept { return get_time_calls_.load(); }

  // IReferenceClock
  STDMETHODIMP GetTime(REFERENCE_TIME* time) override;
  STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override;
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override;
  STDMETHODIMP Unadvise(DWORD_PTR) override;

 private:
  std::atomic<REFERENCE_TIME> time_;
  std::atomic<HRESULT> result_{S_OK};
  std::atomic<LONG> calls_after_release_{0};
  std::atomic<LONG> get_time_calls_{0};
};

}  // namespace veltrano::source_test
