#include "framework/fake_event_graph.h"

#include <gtest/gtest.h>

namespace veltrano::source_test {

std::vector<NotifyRecord> FakeEventGraph::notifications() const {
  auto guard = lock_.Lock();
  return notifications_;
}

STDMETHODIMP FakeEventGraph::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IFilterGraph) {
    *out = static_cast<IFilterGraph*>(this);
  } else if (iid == IID_IMediaEventSink && has_sink_) {
    *out = static_cast<IMediaEventSink*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP FakeEventGraph::Notify(long code, LONG_PTR param1, LONG_PTR param2) {
  auto guard = lock_.Lock();
  notifications_.push_back({code, param1, param2});
  return S_OK;
}

HRESULT FakeEventGraph::Unexpected(const char* method) {
  ADD_FAILURE() << "unexpected IFilterGraph::" << method;
  return E_UNEXPECTED;
}

}  // namespace veltrano::source_test
