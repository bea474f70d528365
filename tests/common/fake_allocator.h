// An IMemAllocator the pin tests control: it grants what was asked give or take the
// deltas the test sets, can fail SetProperties, Commit or Decommit, and counts what
// it is asked. It hands out no buffers (GetBuffer is a fault).
// Lives on the test's stack: its count starts at 1 and it is never deleted.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

#include "common/com_test_helpers.h"
#include "platform/critical_section.h"

namespace veltrano::test {

class FakeAllocator final : public StackUnknown<IMemAllocator, IID_IMemAllocator> {
 public:
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override {
    ++set_properties_calls;
    if (watched_lock) lock_held = watched_lock->IsOwnedByCurrentThread();
    if (!request || !actual) {
      ADD_FAILURE() << "SetProperties without records";
      return E_POINTER;
    }
    requested = *request;
    if (FAILED(result)) return result;
    granted = *request;
    granted.cbBuffer += buffer_delta;
    granted.cBuffers += count_delta;
    *actual = granted;
    return result;
  }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* out) override {
    if (!out) return E_POINTER;
    *out = granted;
    return S_OK;
  }
  STDMETHODIMP Commit() override {
    ++commits;
    return commit_result;
  }
  STDMETHODIMP Decommit() override {
    ++decommits;
    return decommit_result;
  }
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override {
    ADD_FAILURE() << "unexpected GetBuffer on the fake allocator";
    if (sample) *sample = nullptr;
    return E_UNEXPECTED;
  }
  STDMETHODIMP ReleaseBuffer(IMediaSample*) override {
    ADD_FAILURE() << "unexpected ReleaseBuffer on the fake allocator";
    return E_UNEXPECTED;
  }

  HRESULT result = S_OK;  // SetProperties' answer
  LONG buffer_delta = 0;  // granted minus requested cbBuffer
  LONG count_delta = 0;   // granted minus requested cBuffers
  HRESULT commit_result = S_OK;
  HRESULT decommit_result = S_OK;
  //! When set, SetProperties records whether this thread held the lock.
  platform::CriticalSection* watched_lock = nullptr;
  bool lock_held = false;
  int set_properties_calls = 0;
  int commits = 0;
  int decommits = 0;
  ALLOCATOR_PROPERTIES requested = {};
  ALLOCATOR_PROPERTIES granted = {};
};

}  // namespace veltrano::test
