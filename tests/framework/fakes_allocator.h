// An IMemAllocator the pin tests control: it can grant fewer bytes than asked, fail
// Commit or Decommit, and counts what it is asked. It hands out no buffers (GetBuffer
// is a fault). Lives on the test's stack: its count starts at 1, never deleted.
#pragma once

#include <dshow.h>

#include <atomic>

namespace veltrano::pin_test {

class FakeAllocator final : public IMemAllocator {
 public:
  FakeAllocator() = default;
  FakeAllocator(const FakeAllocator&) = delete;
  FakeAllocator& operator=(const FakeAllocator&) = delete;

  LONG ref_count() const noexcept { return ref_count_.load(); }

  bool grant_too_little = false;  // halves cbBuffer in the actual properties
  HRESULT commit_result = S_OK;
  HRESULT decommit_result = S_OK;
  int set_properties_calls = 0;
  int commits = 0;
  int decommits = 0;
  ALLOCATOR_PROPERTIES requested = {};
  ALLOCATOR_PROPERTIES granted = {};

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++ref_count_); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--ref_count_); }
  // IMemAllocator
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* out) override;
  STDMETHODIMP Commit() override;
  STDMETHODIMP Decommit() override;
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags) override;
  STDMETHODIMP ReleaseBuffer(IMediaSample* sample) override;

 private:
  std::atomic<LONG> ref_count_{1};
};

}  // namespace veltrano::pin_test
