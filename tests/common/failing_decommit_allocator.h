// A real allocator behind a wrapper whose Decommit can be made to fail: a stop that
// cannot decommit leaves the source's worker streaming, which is what the tests of
// that path need. Lives on the test's stack.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

#include <atomic>

#include "common/com_test_helpers.h"

namespace veltrano::test {

class FailingDecommitAllocator final : public StackUnknown<IMemAllocator, IID_IMemAllocator> {
 public:
  FailingDecommitAllocator(IMemAllocator* real, HRESULT failure) : real_(real), failure_(failure) {}

  //! Each true refuses one Decommit with the failure code.
  std::atomic<bool> fail_decommit{true};

  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* wanted, ALLOCATOR_PROPERTIES* actual) override {
    return real_->SetProperties(wanted, actual);
  }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* props) override { return real_->GetProperties(props); }
  STDMETHODIMP Commit() override { return real_->Commit(); }
  STDMETHODIMP Decommit() override {
    if (fail_decommit.exchange(false)) return failure_;
    return real_->Decommit();
  }
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags) override {
    return real_->GetBuffer(sample, start, end, flags);
  }
  STDMETHODIMP ReleaseBuffer(IMediaSample*) override {
    ADD_FAILURE() << "unexpected IMemAllocator::ReleaseBuffer";
    return E_UNEXPECTED;
  }

 private:
  IMemAllocator* const real_;
  const HRESULT failure_;
};

}  // namespace veltrano::test
