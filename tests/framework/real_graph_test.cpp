// The framework's source filter inside Wine's real filter graph: connected directly
// to qedit's sample grabber and null renderer, run, paused, stopped and run again;
// stopped while its worker waits for a buffer the grabber's callback keeps; and
// started and stopped 200 times without leaving a thread, handle, object or memory
// behind.
#include <gtest/gtest.h>
#include <qedit.h>
#include <tlhelp32.h>

#include <functional>
#include <thread>
#include <vector>

#include "common/com_test_helpers.h"
#include "common/fake_input_pin.h"
#include "framework/test_source_filter.h"
#include "platform/com_ptr.h"
#include "platform/task_mem.h"
#include "platform/unique_handle.h"

namespace veltrano::source_test {
namespace {

using framework::ActiveObjectCount;
using platform::ComPtr;

constexpr DWORD kWaitMs = 10000;

// The graph answers Run and Pause with S_FALSE while its renderer is still waiting for
// its first sample (observed on Wine 8); both mean the transition was made.
bool Started(HRESULT hr) { return hr == S_OK || hr == S_FALSE; }

ComPtr<IPin> FindPinByDirection(IBaseFilter* filter, PIN_DIRECTION wanted) {
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(pins.put()))) return {};
  IPin* pin = nullptr;
  while (pins->Next(1, &pin, nullptr) == S_OK) {
    ComPtr<IPin> owned;
    owned.attach(pin);
    PIN_DIRECTION direction;
    if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted) return owned;
  }
  return {};
}

// Threads of this process, through a Toolhelp snapshot (which Wine supports).
long ThreadCount() {
  platform::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  long count = 0;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  }
  return count;
}

// Committed private memory of the process, summed over its regions (the figure
// GetProcessMemoryInfo would give as PrivateUsage, taken directly).
SIZE_T CommittedPrivateBytes() {
  SIZE_T total = 0;
  BYTE* address = nullptr;
  MEMORY_BASIC_INFORMATION info{};
  while (::VirtualQuery(address, &info, sizeof(info)) == sizeof(info)) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    BYTE* next = static_cast<BYTE*>(info.BaseAddress) + info.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return total;
}

// Bytes in use in all heaps of the process (busy blocks), which is where objects,
// task memory and sample buffers come from.
SIZE_T HeapBusyBytes() {
  HANDLE heaps[64];
  const DWORD count = ::GetProcessHeaps(64, heaps);
  SIZE_T total = 0;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    if (!::HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (::HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    }
    ::HeapUnlock(heaps[i]);
  }
  return total;
}

// Wine's thread pool, which the graph uses for its asynchronous state changes,
// starts and ends a few threads of its own whenever it likes (observed on Wine 8:
// up to five more after 200 cycles, each with about 3 MB of committed stack). A
// worker left behind per cycle would add 200 threads.
constexpr long kRuntimePoolSlack = 8;
constexpr SIZE_T kPerRuntimeThread = 4 * 1024 * 1024;

class RealGraphTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com_.succeeded());
    // Room for every sample of the longest test: its heap figures must not count the records.
    recorder_.samples.ReserveRecords(4096);
    objects_before_ = ActiveObjectCount();
    handles_before_ = platform::LiveHandleCount();
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     graph_.put_void()));
    ASSERT_EQ(S_OK, graph_.As(&control_));

    source_ = TestSourceFilter::Create(&log_);
    ASSERT_NE(nullptr, source_);
    ASSERT_EQ(S_OK, graph_->AddFilter(source_->base_filter(), L"source"));

    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     grabber_filter_.put_void()));
    ASSERT_EQ(S_OK, grabber_filter_.As(&grabber_));
    ASSERT_EQ(S_OK, grabber_->SetBufferSamples(FALSE));
    ASSERT_EQ(S_OK, grabber_->SetCallback(&recorder_, 0));
    ASSERT_EQ(S_OK, graph_->AddFilter(grabber_filter_.get(), L"grabber"));

    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     renderer_.put_void()));
    ASSERT_EQ(S_OK, graph_->AddFilter(renderer_.get(), L"renderer"));
  }

  void TearDown() override {
    if (control_) {
      EXPECT_EQ(S_OK, control_->Stop());
    }
    recorder_.samples.ReleaseHeldSamples();
    if (grabber_) grabber_->SetCallback(nullptr, 0);
    grabber_.reset();
    grabber_filter_.reset();
    renderer_.reset();
    control_.reset();
    const bool had_source = source_ != nullptr;
    if (source_) {
      source_->base_filter()->Release();  // the graph holds the other reference
      source_ = nullptr;
    }
    if (graph_) {
      EXPECT_EQ(0u, graph_.detach()->Release());
    }
    if (had_source) {
      EXPECT_EQ(1, log_.filter_destroyed.load());
    }
    EXPECT_EQ(1, recorder_.ref_count());
    EXPECT_EQ(objects_before_, ActiveObjectCount());
    EXPECT_EQ(handles_before_, platform::LiveHandleCount());
  }

  // Source -> grabber -> null renderer, each link made directly (no Smart Tee).
  void ConnectChain() {
    ComPtr<IPin> out;
    ASSERT_EQ(S_OK, source_->base_filter()->FindPin(L"1", out.put()));
    ComPtr<IPin> grabber_in = FindPinByDirection(grabber_filter_.get(), PINDIR_INPUT);
    ComPtr<IPin> grabber_out = FindPinByDirection(grabber_filter_.get(), PINDIR_OUTPUT);
    ComPtr<IPin> renderer_in = FindPinByDirection(renderer_.get(), PINDIR_INPUT);
    ASSERT_TRUE(grabber_in && grabber_out && renderer_in);
    ASSERT_EQ(S_OK, graph_->ConnectDirect(out.get(), grabber_in.get(), nullptr));
    ASSERT_EQ(S_OK, graph_->ConnectDirect(grabber_out.get(), renderer_in.get(), nullptr));

    AM_MEDIA_TYPE agreed{};
    ASSERT_EQ(S_OK, out->ConnectionMediaType(&agreed));
    EXPECT_EQ(MEDIASUBTYPE_RGB32, agreed.subtype);
    EXPECT_EQ(FORMAT_VideoInfo, agreed.formattype);
    if (agreed.cbFormat) CoTaskMemFree(agreed.pbFormat);
    if (agreed.pUnk) agreed.pUnk->Release();
  }

  // Frames seen by the grabber rise one by one; a stop may drop at most the sample
  // that was under way.
  void ExpectFramesRising(int stops) {
    const std::vector<LONG> frames = recorder_.samples.frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(0, frames[0]);
    int gaps = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
      ASSERT_LT(frames[i - 1], frames[i]) << "at " << i;
      if (frames[i] != frames[i - 1] + 1) ++gaps;
    }
    EXPECT_LE(gaps, stops);
  }

  platform::ScopedComInit com_{COINIT_MULTITHREADED};
  long objects_before_ = 0;
  long handles_before_ = 0;
  StreamLog log_;
  test::GrabberCallback recorder_;  // records the frames the grabber sees
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IMediaControl> control_;
  TestSourceFilter* source_ = nullptr;
  ComPtr<IBaseFilter> grabber_filter_;
  ComPtr<ISampleGrabber> grabber_;
  ComPtr<IBaseFilter> renderer_;
};

TEST_F(RealGraphTest, JoinsTheGraphWithItsNameAndEventSink) {
  FILTER_INFO info{};
  ASSERT_EQ(S_OK, source_->base_filter()->QueryFilterInfo(&info));
  EXPECT_EQ(std::wstring(L"source"), std::wstring(info.achName));
  ComPtr<IFilterGraph> graph;
  ASSERT_EQ(S_OK, graph_.As(&graph));
  EXPECT_EQ(graph.get(), info.pGraph);
  if (info.pGraph) info.pGraph->Release();
  EXPECT_NE(nullptr, source_->event_sink());
}

TEST_F(RealGraphTest, RunPauseStopAndRunAgain) {
  ConnectChain();
  ASSERT_TRUE(Started(control_->Run()));
  ASSERT_TRUE(recorder_.samples.WaitForReceives(30));
  // The graph gave the filter its clock.
  ComPtr<IReferenceClock> clock;
  EXPECT_EQ(S_OK, source_->GetSyncSource(clock.put()));
  EXPECT_TRUE(clock);
  REFERENCE_TIME stream_time = 0;
  EXPECT_EQ(S_OK, source_->GetStreamTime(&stream_time));

  EXPECT_TRUE(Started(control_->Pause()));
  EXPECT_EQ(S_OK, control_->Stop());
  EXPECT_FALSE(source_->stream(0)->HasWorker());
  EXPECT_EQ(1, log_.thread_exits.load());

  const LONG before = recorder_.samples.receive_count();
  ASSERT_TRUE(Started(control_->Run()));
  ASSERT_TRUE(recorder_.samples.WaitForReceives(before + 30));
  EXPECT_EQ(S_OK, control_->Stop());
  EXPECT_EQ(2, log_.thread_starts.load());
  EXPECT_EQ(2, log_.thread_exits.load());
  ExpectFramesRising(2);
}

// The grabber's callback keeps the only buffer: the worker then blocks in GetBuffer,
// and only the decommit that comes before the stop command lets Stop return.
TEST_F(RealGraphTest, StopWhileTheWorkerWaitsForABuffer) {
  ConnectChain();
  ALLOCATOR_PROPERTIES props{};
  ASSERT_EQ(S_OK, source_->stream(0)->pool()->GetProperties(&props));
  EXPECT_EQ(1, props.cBuffers);
  recorder_.samples.hold_samples = true;
  ASSERT_TRUE(Started(control_->Run()));
  ASSERT_TRUE(recorder_.samples.WaitForReceives(1));

  platform::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HRESULT stopped = E_PENDING;
  std::thread stopper([&] {
    stopped = control_->Stop();
    ::SetEvent(done.get());
  });
  const bool returned = ::WaitForSingleObject(done.get(), kWaitMs) == WAIT_OBJECT_0;
  if (!returned) {
    recorder_.samples.ReleaseHeldSamples();  // let it finish so the test can end
    ADD_FAILURE() << "Stop did not return while the buffer was held";
  }
  stopper.join();
  EXPECT_EQ(S_OK, stopped);
  EXPECT_EQ(1, recorder_.samples.receive_count());
  EXPECT_FALSE(source_->stream(0)->HasWorker());
  recorder_.samples.ReleaseHeldSamples();
}

TEST_F(RealGraphTest, TwoHundredStartStopCyclesLeaveNothingBehind) {
  ConnectChain();
  auto cycle = [&] {
    const LONG before = recorder_.samples.receive_count();
    ASSERT_TRUE(Started(control_->Run()));
    ASSERT_TRUE(recorder_.samples.WaitForReceives(before + 1));
    ASSERT_EQ(S_OK, control_->Stop());
  };
  // Warm up: the graph makes its own threads and caches on first use.
  for (int i = 0; i < 10; ++i) cycle();
  ASSERT_FALSE(HasFatalFailure());
  const long threads = ThreadCount();
  ASSERT_GT(threads, 0) << "Toolhelp thread snapshot unavailable";
  const long handles = platform::LiveHandleCount();
  const long objects = ActiveObjectCount();
  const SIZE_T memory = CommittedPrivateBytes();
  const SIZE_T heap = HeapBusyBytes();

  // The snapshot does see a running worker.
  ASSERT_TRUE(Started(control_->Run()));
  ASSERT_TRUE(recorder_.samples.WaitForReceives(recorder_.samples.receive_count() + 1));
  EXPECT_GE(ThreadCount(), threads + 1);
  ASSERT_EQ(S_OK, control_->Stop());

  for (int i = 0; i < 199; ++i) {
    cycle();
    ASSERT_FALSE(HasFatalFailure()) << "cycle " << i;
  }
  EXPECT_EQ(210, log_.thread_starts.load());
  EXPECT_EQ(210, log_.thread_exits.load());
  EXPECT_EQ(handles, platform::LiveHandleCount());
  EXPECT_EQ(objects, ActiveObjectCount());
  const long threads_after = ThreadCount();
  const long extra_threads = threads_after > threads ? threads_after - threads : 0;
  EXPECT_LE(extra_threads, kRuntimePoolSlack);
  const long long growth = static_cast<long long>(CommittedPrivateBytes()) - static_cast<long long>(memory);
  const long long heap_growth = static_cast<long long>(HeapBusyBytes()) - static_cast<long long>(heap);
  std::printf("threads %ld -> %ld, committed private memory %+lld bytes, heap in use %+lld bytes\n", threads,
              threads_after, growth, heap_growth);
  // A leaked allocator, sample buffer or filter per cycle would be 200 of them.
  EXPECT_LT(growth, static_cast<long long>(256 * 1024 + extra_threads * kPerRuntimeThread));
  EXPECT_LT(heap_growth, 64 * 1024);
  ExpectFramesRising(210);
}

}  // namespace
}  // namespace veltrano::source_test
