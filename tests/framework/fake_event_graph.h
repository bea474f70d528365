// A filter graph stand-in for JoinFilterGraph: it answers IMediaEventSink (or not,
// when built without one) and records every Notify. Its IFilterGraph methods fail the
// test: the filter must not call them. Lives on the test's stack, count starts at 1.
#pragma once

#include <dshow.h>

#include <atomic>
#include <vector>

#include "platform/critical_section.h"

namespace veltrano::source_test {

struct NotifyRecord {
  long code;
  LONG_PTR param1;
  LONG_PTR param2;
};

class FakeEventGraph final : public IFilterGraph, public IMediaEventSink {
 public:
  explicit FakeEventGraph(bool has_sink) : has_sink_(has_sink) {}
  FakeEventGraph(const FakeEventGraph&) = delete;
  FakeEventGraph& operator=(const FakeEventGraph&) = delete;

  LONG ref_count() const noexcept { return ref_count_.load(); }
  std::vector<NotifyRecord> notifications() const;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++ref_count_); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--ref_count_); }
  // IFilterGraph
  STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return Unexpected("AddFilter"); }
  STDMETHODIMP RemoveFilter(IBaseFilter*) override { return Unexpected("RemoveFilter"); }
  STDMETHODIMP EnumFilters(IEnumFilters**) override { return Unexpected("EnumFilters"); }
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return Unexpected("FindFilterByName"); }
  STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return Unexpected("ConnectDirect"); }
  STDMETHODIMP Reconnect(IPin*) override { return Unexpected("Reconnect"); }
  STDMETHODIMP Disconnect(IPin*) override { return Unexpected("Disconnect"); }
  STDMETHODIMP SetDefaultSyncSource() override { return Unexpected("SetDefaultSyncSource"); }
  // IMediaEventSink
  STDMETHODIMP Notify(long code, LONG_PTR param1, LONG_PTR param2) override;

 private:
  static HRESULT Unexpected(const char* method);

  const bool has_sink_;
  std::atomic<LONG> ref_count_{1};
  mutable platform::CriticalSection lock_;
  std::vector<NotifyRecord> notifications_;
};

}  // namespace veltrano::source_test
