#include "framework/fake_clock.h"

#include <gtest/gtest.h>

namespace veltrano::source_test {

STDMETHODIMP FakeClock::GetTime(REFERENCE_TIME* time) {
  ++get_time_calls_;
  if (released()) ++calls_after_release_;
  // Stay inside the call for a moment, so that a clock released while a reader is
  // still in here shows up too.
  for (int i = 0; i < 200; ++i) ::YieldProcessor();
  if (released()) ++calls_after_release_;
  *time = time_.load();
  return result_.load();
}

STDMETHODIMP FakeClock::AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) {
  ADD_FAILURE() << "unexpected IReferenceClock::AdviseTime";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeClock::AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) {
  ADD_FAILURE() << "unexpected IReferenceClock::AdvisePeriodic";
  return E_UNEXPECTED;
}

STDMETHODIMP FakeClock::Unadvise(DWORD_PTR) {
  ADD_FAILURE() << "unexpected IReferenceClock::Unadvise";
  return E_UNEXPECTED;
}

}  // namespace veltrano::source_test
