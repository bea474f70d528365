// A filter graph stand-in for JoinFilterGraph: it answers IMediaEventSink (when made
// with one) and records every Notify, and records Reconnect when the test expects it.
// Any other IFilterGraph call fails the test: a filter must not make it.
// Lives on the test's stack: its count starts at 1 and it is never deleted.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/critical_section.h"

namespace veltrano::test {

struct NotifyRecord {
  long code;
  LONG_PTR param1;
  LONG_PTR param2;
};

class FakeGraph final : public IFilterGraph, public IMediaEventSink {
 public:
  explicit FakeGraph(bool has_event_sink = false) : has_event_sink_(has_event_sink) {}
  FakeGraph(const FakeGraph&) = delete;
  FakeGraph& operator=(const FakeGraph&) = delete;

  bool expects_reconnect = false;  // off: Reconnect fails the test
  HRESULT reconnect_result = S_OK;
  int reconnect_calls = 0;
  IPin* reconnected_pin = nullptr;
  //! When set, Reconnect records whether this thread held the lock.
  platform::CriticalSection* watched_lock = nullptr;
  bool lock_held = false;

  LONG ref_count() const noexcept { return ref_count_.load(); }
  std::vector<NotifyRecord> notifications() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notifications_;
  }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IFilterGraph) {
      *out = static_cast<IFilterGraph*>(this);
    } else if (iid == IID_IMediaEventSink && has_event_sink_) {
      *out = static_cast<IMediaEventSink*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++ref_count_); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--ref_count_); }
  // IFilterGraph
  STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return Unexpected("AddFilter"); }
  STDMETHODIMP RemoveFilter(IBaseFilter*) override { return Unexpected("RemoveFilter"); }
  STDMETHODIMP EnumFilters(IEnumFilters**) override { return Unexpected("EnumFilters"); }
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return Unexpected("FindFilterByName"); }
  STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return Unexpected("ConnectDirect"); }
  STDMETHODIMP Reconnect(IPin* pin) override {
    if (!expects_reconnect) return Unexpected("Reconnect");
    ++reconnect_calls;
    if (watched_lock) lock_held = watched_lock->IsOwnedByCurrentThread();
    reconnected_pin = pin;
    return reconnect_result;
  }
  STDMETHODIMP Disconnect(IPin*) override { return Unexpected("Disconnect"); }
  STDMETHODIMP SetDefaultSyncSource() override { return Unexpected("SetDefaultSyncSource"); }
  // IMediaEventSink
  STDMETHODIMP Notify(long code, LONG_PTR param1, LONG_PTR param2) override {
    std::lock_guard<std::mutex> lock(mutex_);
    notifications_.push_back({code, param1, param2});
    return S_OK;
  }

 private:
  static HRESULT Unexpected(const char* method) {
    ADD_FAILURE() << "unexpected IFilterGraph::" << method;
    return E_UNEXPECTED;
  }

  const bool has_event_sink_;
  std::atomic<LONG> ref_count_{1};
  mutable std::mutex mutex_;
  std::vector<NotifyRecord> notifications_;
};

}  // namespace veltrano::test
