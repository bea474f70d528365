// Hand-written peers for the camera tests: a media sample, a reference clock the test
// moves, and the shared input pin set up like real capture applications' sinks.
// Every method a test does not expect reports a failure. Fakes live on the test's
// stack and outlive the filter.
#pragma once

#include <dshow.h>
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "camera/frame_pacer.h"
#include "common/com_test_helpers.h"
#include "common/fake_allocator.h"
#include "common/fake_graph.h"
#include "common/fake_input_pin.h"

namespace veltrano::test {

#define VELTRANO_UNEXPECTED(result)                                  \
  do {                                                              \
    ADD_FAILURE() << "unexpected call to " << __func__;             \
    return result;                                                  \
  } while (false)

//! A sample whose buffer is `size` bytes followed by guard bytes that must never be
//! written. GetSize reports `size`.
class FakeSample final : public StackUnknown<IMediaSample, IID_IMediaSample> {
 public:
  static constexpr size_t kGuardBytes = 4096;
  static constexpr BYTE kGuardByte = 0xCD;

  explicit FakeSample(LONG size, BYTE fill = 0x11)
      : size_(size), storage_(static_cast<size_t>(size) + kGuardBytes, kGuardByte) {
    std::fill(storage_.begin(), storage_.begin() + size, fill);
  }
  FakeSample(const FakeSample&) = delete;
  FakeSample& operator=(const FakeSample&) = delete;

  STDMETHODIMP GetPointer(BYTE** out) override {
    *out = null_pointer_ ? nullptr : storage_.data();
    return null_pointer_ ? E_FAIL : S_OK;
  }
  STDMETHODIMP_(LONG) GetSize() override { return size_; }
  STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override {
    ++set_time_calls;
    if (!start || !end) {
      ADD_FAILURE() << "SetTime without times";
      return E_POINTER;
    }
    start_time = *start;
    end_time = *end;
    return S_OK;
  }
  STDMETHODIMP IsSyncPoint() override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetSyncPoint(BOOL value) override {
    sync_point = value;
    return S_OK;
  }
  STDMETHODIMP IsPreroll() override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetPreroll(BOOL) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP_(LONG) GetActualDataLength() override { VELTRANO_UNEXPECTED(0); }
  STDMETHODIMP SetActualDataLength(LONG length) override {
    actual_length = length;
    return S_OK;
  }
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE**) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP IsDiscontinuity() override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetDiscontinuity(BOOL value) override {
    discontinuity = value;
    return S_OK;
  }
  STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }
  STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }

  const BYTE* data() const noexcept { return storage_.data(); }
  //! Whether every guard byte past the reported size is intact.
  bool GuardIntact() const noexcept {
    for (size_t i = static_cast<size_t>(size_); i < storage_.size(); ++i) {
      if (storage_[i] != kGuardByte) return false;
    }
    return true;
  }
  void set_null_pointer(bool value) noexcept { null_pointer_ = value; }

  REFERENCE_TIME start_time = -1;
  REFERENCE_TIME end_time = -1;
  int set_time_calls = 0;
  BOOL sync_point = -1;
  BOOL discontinuity = -1;
  LONG actual_length = -1;

 private:
  LONG size_;
  std::vector<BYTE> storage_;
  bool null_pointer_ = false;
};

//! A reference clock the test drives: real time (QueryPerformanceCounter) plus an
//! offset the test may move, or frozen at a value.
class FakeClock final : public StackUnknown<IReferenceClock, IID_IReferenceClock> {
 public:
  STDMETHODIMP GetTime(REFERENCE_TIME* out) override {
    if (!out) return E_POINTER;
    ++get_time_calls;
    *out = Now();
    return S_OK;
  }
  STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override {
    VELTRANO_UNEXPECTED(E_NOTIMPL);
  }
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override {
    VELTRANO_UNEXPECTED(E_NOTIMPL);
  }
  STDMETHODIMP Unadvise(DWORD_PTR) override { VELTRANO_UNEXPECTED(E_NOTIMPL); }

  REFERENCE_TIME Now() const noexcept { return AtRealTime(camera::QueryRealTime()); }
  //! What the clock read, or would have read, at `real_time` (QueryRealTime units).
  REFERENCE_TIME AtRealTime(int64_t real_time) const noexcept {
    return frozen_.load() ? frozen_value_.load() : real_time + offset_.load();
  }
  //! Moves the running clock by `delta` (a jump forward or back).
  void Jump(REFERENCE_TIME delta) noexcept { offset_ += delta; }
  //! Stops the clock where it stands.
  void Freeze() noexcept {
    frozen_value_ = Now();
    frozen_ = true;
  }
  //! A frozen clock at exactly `value` (tests that move it by hand).
  void SetFrozen(REFERENCE_TIME value) noexcept {
    frozen_value_ = value;
    frozen_ = true;
  }

  std::atomic<int> get_time_calls{0};

 private:
  std::atomic<REFERENCE_TIME> offset_{0};
  std::atomic<bool> frozen_{false};
  std::atomic<REFERENCE_TIME> frozen_value_{0};
};

//! How an application's sink lists its media types.
enum class SinkTypes {
  kNone,          // an enumerator that yields nothing
  kPartialVideo,  // one type: major type Video, everything else GUID_NULL, no format block
  kOthersFirst,   // RGB24 640 x 480 and an I420 type, then the camera's own YUY2 type
};

//! A downstream input pin set up like a capture application's sink: no allocator of
//! its own but it keeps the one it is given, QueryAccept always S_FALSE, a shallow
//! copy of the connection type, only the camera's YUY2 type accepted (subtype,
//! FORMAT_VideoInfo, whole block), and S_FALSE for any sample shorter than a frame.
class AppSinkPin : public FakeInputPin {
 public:
  static constexpr LONG kFullFrame = 1280 * 720 * 2;

  AppSinkPin() {
    answers_queries = true;
    query_accept_result = S_FALSE;
    accepted_subtypes = {MEDIASUBTYPE_YUY2};
    requires_video_info = true;
    keeps_allocator = true;
    drop_shorter_than = kFullFrame;
    watches_flush = true;
  }
  //! Makes EnumMediaTypes list the types of `kind` (and nothing else).
  void OfferTypes(SinkTypes kind);
};

}  // namespace veltrano::test
