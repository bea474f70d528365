#include "framework/fakes_allocator.h"

#include <gtest/gtest.h>

namespace veltrano::pin_test {

STDMETHODIMP FakeAllocator::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMemAllocator) {
    *out = static_cast<IMemAllocator*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP FakeAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
  ++set_properties_calls;
  if (!request || !actual) {
    ADD_FAILURE() << "SetProperties without records";
    return E_POINTER;
  }
  requested = *request;
  granted = *request;
  if (grant_too_little) granted.cbBuffer /= 2;
  *actual = granted;
  return S_OK;
}

STDMETHODIMP FakeAllocator::GetProperties(ALLOCATOR_PROPERTIES* out) {
  if (!out) return E_POINTER;
  *out = granted;
  return S_OK;
}

STDMETHODIMP FakeAllocator::Commit() {
  ++commits;
  return commit_result;
}

STDMETHODIMP FakeAllocator::Decommit() {
  ++decommits;
  return decommit_result;
}

STDMETHODIMP FakeAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) {
  ADD_FAILURE() << "unexpected GetBuffer on the fake allocator";
  if (sample) *sample = nullptr;
  return E_UNEXPECTED;
}

STDMETHODIMP FakeAllocator::ReleaseBuffer(IMediaSample*) {
  ADD_FAILURE() << "unexpected ReleaseBuffer on the fake allocator";
  return E_UNEXPECTED;
}

}  // namespace veltrano::pin_test
