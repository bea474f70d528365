// A real allocator behind a wrapper the test steers: its Decommit can be made to fail
// (a stop that cannot decommit leaves the source's worker streaming), and a callback
// can run on the worker at the start of each GetBuffer. Lives on the test's stack.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "common/com_test_helpers.h"

namespace veltrano::test {

class ForwardingAllocator final : public StackUnknown<IMemAllocator, IID_IMemAllocator> {
 public:
  explicit ForwardingAllocator(IMemAllocator* real, HRESULT decommit_failure = E_FAIL)
      : real_(real), decommit_failure_(decommit_failure) {}

  //! Each true refuses one Decommit with the failure code.
  std::atomic<bool> fail_decommit{false};
  //! Runs before the real GetBuffer (set before streaming).
  std::function<void()> on_get_buffer;

  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* wanted, ALLOCATOR_PROPERTIES* actual) override {
    return real_->SetProperties(wanted, actual);
  }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* props) override { return real_->GetProperties(props); }
  STDMETHODIMP Commit() override { return real_->Commit(); }
  STDMETHODIMP Decommit() override {
    if (fail_decommit.exchange(false)) return decommit_failure_;
    return real_->Decommit();
  }
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags) override {
    if (on_get_buffer) on_get_buffer();
    return real_->GetBuffer(sample, start, end, flags);
  }
  STDMETHODIMP ReleaseBuffer(IMediaSample*) override {
    ADD_FAILURE() << "unexpected IMemAllocator::ReleaseBuffer";
    return E_UNEXPECTED;
  }

 private:
  IMemAllocator* const real_;
  const HRESULT decommit_failure_;
};

}  // namespace veltrano::test
