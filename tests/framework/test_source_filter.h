// A small source filter built on the framework, for the framework's own tests: one
// or more CSourceStream pins that produce numbered RGB32 frames (the frame number in
// the first four bytes), with switches that make the hooks fail or end the stream.
// What the tests observe about a filter's life is kept in a StreamLog that outlives it.
#pragma once

#include <dshow.h>

#include <atomic>

#include "common/fake_input_pin.h"
#include "framework/source.h"
#include "framework/source_stream.h"

namespace veltrano::source_test {

constexpr LONG kFrameWidth = 16;
constexpr LONG kFrameHeight = 8;
constexpr LONG kFrameBytes = kFrameWidth * kFrameHeight * 4;

// {5B6F2C1E-8A1D-4E63-9C3B-2F7D0A4E9B11}
inline constexpr CLSID kTestSourceClsid = {0x5b6f2c1e, 0x8a1d, 0x4e63, {0x9c, 0x3b, 0x2f, 0x7d, 0x0a, 0x4e, 0x9b, 0x11}};

//! The pins' one type: RGB32 kFrameWidth x kFrameHeight with a VIDEOINFOHEADER.
void MakeFrameType(AM_MEDIA_TYPE* type);

//! The downstream pin these filters stream into. It records the frame numbers; only
//! the source side disconnects, so it holds no connector; a source never flushes.
class StreamSink : public test::FakeInputPin {
 public:
  StreamSink() {
    remember_connection = false;
    expects_flush = false;
  }
};

//! Counters and a sequence that record hook calls and destruction; owned by the test.
struct StreamLog {
  std::atomic<LONG> sequence{0};
  std::atomic<LONG> thread_starts{0};
  std::atomic<LONG> thread_exits{0};
  std::atomic<LONG> streaming_starts{0};
  std::atomic<LONG> fills{0};
  std::atomic<LONG> last_exit_step{0};      // sequence number of the last OnWorkerThreadExit
  std::atomic<LONG> pin_destroyed_step{0};  // sequence number of the first pin destruction
  std::atomic<LONG> filter_destroyed{0};

  LONG Step() noexcept { return ++sequence; }
};

class TestStream : public framework::CSourceStream {
 public:
  TestStream(HRESULT* result, framework::CSource* filter, StreamLog* log) noexcept;
  ~TestStream() override;

  HRESULT FillSample(IMediaSample* sample) override;
  HRESULT OnWorkerThreadStart() override;
  HRESULT OnWorkerThreadExit() override;
  HRESULT OnStreamingStart() override;
  HRESULT PreferredMediaType(framework::CMediaTypeRecord* type) override;
  HRESULT SizeBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

  IMemAllocator* pool() const noexcept { return allocator(); }

  // Switches, read on the worker.
  std::atomic<HRESULT> start_result{S_OK};  // OnWorkerThreadStart's answer
  std::atomic<LONG> end_at_frame{-1};       // FillSample answers end_result for this frame
  std::atomic<HRESULT> end_result{S_FALSE};
  std::atomic<LONG> next_frame{0};
  //! Each fill first waits this long, cut short by a command or a Pause/Run.
  std::atomic<DWORD> fill_wait_ms{0};
  std::atomic<LONG> fill_waits{0};
  std::atomic<LONG> interrupted_fills{0};
  //! Waits that ended well before their time without being interrupted.
  std::atomic<LONG> short_fill_waits{0};
  LONG buffer_count = 1;

 private:
  StreamLog* const log_;
};

class TestSourceFilter : public framework::CSource {
 public:
  //! A filter with `pins` test streams and one reference (the caller's); null when
  //! construction failed (the failure is stored in `result` when given).
  static TestSourceFilter* Create(StreamLog* log, int pins = 1, HRESULT* result = nullptr);
  ~TestSourceFilter() override;

  TestStream* stream(int index) const noexcept;
  IBaseFilter* base_filter() noexcept { return this; }

  LONG PinListVersion() override;
  framework::CBasePin* PinAt(LONG index) override;

  // Switches for the enumerator tests.
  std::atomic<LONG> version_override{0};  // non-zero replaces the pin-list version
  std::atomic<LONG> null_pin_index{-1};   // PinAt answers null for this index

 private:
  explicit TestSourceFilter(StreamLog* log, HRESULT* result) noexcept;
  StreamLog* const log_;
};

}  // namespace veltrano::source_test
