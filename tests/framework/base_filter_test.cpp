// The framework filter (CBaseFilter with CSource storage): interfaces, the Stop /
// Pause / Run state table, the reference clock and stream time, FindPin,
// QueryFilterInfo, JoinFilterGraph, IAMovieSetup, and the release of a filter whose
// worker is still streaming.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/allocation_failure_scope.h"
#include "common/com_test_helpers.h"
#include "common/forwarding_allocator.h"
#include "common/fake_graph.h"
#include "framework/fake_clock.h"
#include "framework/test_source_filter.h"
#include "platform/task_mem.h"
#include "platform/unique_handle.h"

namespace veltrano::source_test {
namespace {

using framework::ActiveObjectCount;
using test::FakeGraph;
using test::GetRefcount;

constexpr HRESULT kFailureA = static_cast<HRESULT>(0x80041111);
constexpr HRESULT kFailureB = static_cast<HRESULT>(0x80042222);

// A pin whose state hooks only record their calls and answer what the test says,
// so that the filter's walk over its pins can be watched.
class RecordingStream final : public TestStream {
 public:
  RecordingStream(HRESULT* result, framework::CSource* filter, StreamLog* log, int index,
                  std::vector<std::string>* calls)
      : TestStream(result, filter, log), index_(index), calls_(calls) {}

  HRESULT OnActivate() override { return Record('A', activate_result); }
  HRESULT OnDeactivate() override { return Record('D', deactivate_result); }
  HRESULT OnRunning(REFERENCE_TIME start) override {
    last_run_start = start;
    return Record('R', running_result);
  }
  HRESULT OnPausing() override { return Record('P', pausing_result); }

  HRESULT activate_result = S_OK;
  HRESULT deactivate_result = S_OK;
  HRESULT running_result = S_OK;
  HRESULT pausing_result = S_OK;
  REFERENCE_TIME last_run_start = -1;

 private:
  HRESULT Record(char what, HRESULT result) {
    // The filter lock is held across every pin call.
    EXPECT_TRUE(static_cast<framework::CSource*>(filter())->state_lock()->IsOwnedByCurrentThread());
    calls_->push_back(std::string(1, what) + std::to_string(index_));
    return result;
  }

  const int index_;
  std::vector<std::string>* const calls_;
};

class BaseFilterTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com_.succeeded());
    objects_before_ = ActiveObjectCount();
    handles_before_ = platform::LiveHandleCount();
  }
  void TearDown() override {
    EXPECT_EQ(objects_before_, ActiveObjectCount());
    EXPECT_EQ(handles_before_, platform::LiveHandleCount());
  }

  platform::ScopedComInit com_{COINIT_MULTITHREADED};
  long objects_before_ = 0;
  long handles_before_ = 0;
  StreamLog log_;
};

// Three pins: 0 and 2 connected to fake sinks, 1 left unconnected.
class FilterStateTest : public BaseFilterTest {
 protected:
  void SetUp() override {
    BaseFilterTest::SetUp();
    filter_ = TestSourceFilter::Create(&log_, 0);
    ASSERT_NE(nullptr, filter_);
    for (int i = 0; i < 3; ++i) {
      HRESULT hr = S_OK;
      pins_[i] = new RecordingStream(&hr, filter_, &log_, i, &calls_);
      ASSERT_EQ(S_OK, hr);
    }
    AM_MEDIA_TYPE type{};
    MakeFrameType(&type);
    ASSERT_EQ(S_OK, pins_[0]->Connect(&sinks_[0], &type));
    ASSERT_EQ(S_OK, pins_[2]->Connect(&sinks_[1], &type));
    CoTaskMemFree(type.pbFormat);
  }
  void TearDown() override {
    if (filter_) {
      EXPECT_EQ(S_OK, filter_->Stop());
      pins_[0]->Disconnect();
      pins_[2]->Disconnect();
      EXPECT_EQ(0u, filter_->base_filter()->Release());
    }
    EXPECT_EQ(1, sinks_[0].ref_count());
    EXPECT_EQ(1, sinks_[1].ref_count());
    BaseFilterTest::TearDown();
  }
  FILTER_STATE State() {
    FILTER_STATE state = static_cast<FILTER_STATE>(77);
    const HRESULT hr = filter_->GetState(0, &state);
    // Paused with connected pins, a live source cannot cue (see the GetState test).
    EXPECT_EQ(state == State_Paused ? VFW_S_CANT_CUE : S_OK, hr);
    return state;
  }
  // Calls recorded so far, then forgotten.
  std::vector<std::string> TakeCalls() { return std::exchange(calls_, {}); }

  StreamSink sinks_[2];
  TestSourceFilter* filter_ = nullptr;
  RecordingStream* pins_[3] = {};
  std::vector<std::string> calls_;
};

using Calls = std::vector<std::string>;

TEST_F(BaseFilterTest, InterfacesAndIdentity) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_);
  ASSERT_NE(nullptr, filter);
  IBaseFilter* base = filter->base_filter();
  EXPECT_INTERFACE(base, IID_IBaseFilter, true);
  EXPECT_INTERFACE(base, IID_IMediaFilter, true);
  EXPECT_INTERFACE(base, IID_IPersist, true);
  EXPECT_INTERFACE(base, IID_IAMovieSetup, true);
  EXPECT_INTERFACE(base, IID_IUnknown, true);
  EXPECT_INTERFACE(base, IID_IPin, false);
  EXPECT_INTERFACE(base, IID_IMediaSeeking, false);
  EXPECT_EQ(E_POINTER, base->QueryInterface(IID_IBaseFilter, nullptr));
  EXPECT_EQ(E_POINTER, base->QueryInterface(IID_IAMovieSetup, nullptr));
  EXPECT_EQ(E_POINTER, base->QueryInterface(IID_IUnknown, nullptr));
  EXPECT_EQ(1u, GetRefcount(base));

  IMediaFilter* media = nullptr;
  ASSERT_EQ(S_OK, base->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&media)));
  EXPECT_EQ(static_cast<IMediaFilter*>(base), media);
  EXPECT_EQ(2u, GetRefcount(base));
  media->Release();

  CLSID clsid = GUID_NULL;
  EXPECT_EQ(E_POINTER, base->GetClassID(nullptr));
  EXPECT_EQ(S_OK, base->GetClassID(&clsid));
  EXPECT_EQ(kTestSourceClsid, clsid);

  FILTER_STATE state = State_Running;
  EXPECT_EQ(E_POINTER, base->GetState(0, nullptr));
  EXPECT_EQ(S_OK, base->GetState(INFINITE, &state));
  EXPECT_EQ(State_Stopped, state);

  LPWSTR vendor = reinterpret_cast<LPWSTR>(0x1);
  EXPECT_EQ(E_NOTIMPL, base->QueryVendorInfo(&vendor));
  EXPECT_EQ(nullptr, vendor);

  // No registration description: the module registers itself through its exports.
  IAMovieSetup* setup = nullptr;
  ASSERT_EQ(S_OK, base->QueryInterface(IID_IAMovieSetup, reinterpret_cast<void**>(&setup)));
  EXPECT_EQ(S_FALSE, setup->Register());
  EXPECT_EQ(S_FALSE, setup->Unregister());
  EXPECT_EQ(2u, GetRefcount(base));
  setup->Release();

  EXPECT_EQ(0u, base->Release());
  EXPECT_EQ(1, log_.filter_destroyed.load());
}

TEST_F(FilterStateTest, StopWhenStoppedCallsNoPin) {
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(Calls{}, TakeCalls());
  EXPECT_EQ(State_Stopped, State());
}

TEST_F(FilterStateTest, PauseActivatesConnectedPinsOnlyOnceFromStopped) {
  EXPECT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ((Calls{"A0", "A2"}), TakeCalls());
  EXPECT_EQ(State_Paused, State());

  EXPECT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ(Calls{}, TakeCalls());
  EXPECT_EQ(State_Paused, State());

  EXPECT_EQ(S_OK, filter_->Run(1000));
  EXPECT_EQ((Calls{"R0", "R2"}), TakeCalls());
  EXPECT_EQ(1000, pins_[2]->last_run_start);
  EXPECT_EQ(State_Running, State());

  // From Running, Pause tells the connected pins to stop delivering.
  EXPECT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ((Calls{"P0", "P2"}), TakeCalls());
  EXPECT_EQ(State_Paused, State());

  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ((Calls{"D0", "D2"}), TakeCalls());
  EXPECT_EQ(State_Stopped, State());
}

TEST_F(FilterStateTest, RunFromStoppedActivatesThenRuns) {
  EXPECT_EQ(S_OK, filter_->Run(5));
  EXPECT_EQ((Calls{"A0", "A2", "R0", "R2"}), TakeCalls());
  EXPECT_EQ(State_Running, State());

  // Running again only moves the start time.
  EXPECT_EQ(S_OK, filter_->Run(7));
  EXPECT_EQ(Calls{}, TakeCalls());
  EXPECT_EQ(State_Running, State());
}

TEST_F(FilterStateTest, PauseStopsAtTheFirstActivationFailure) {
  pins_[0]->activate_result = kFailureA;
  EXPECT_EQ(kFailureA, filter_->Pause());
  EXPECT_EQ(Calls{"A0"}, TakeCalls());
  EXPECT_EQ(State_Stopped, State());

  // A success code other than S_OK is no failure.
  pins_[0]->activate_result = S_FALSE;
  pins_[2]->activate_result = kFailureB;
  EXPECT_EQ(kFailureB, filter_->Pause());
  EXPECT_EQ((Calls{"A0", "A2"}), TakeCalls());
  EXPECT_EQ(State_Stopped, State());
}

TEST_F(FilterStateTest, RunStoresTheStartTimeEvenWhenActivationFails) {
  FakeClock clock(10000);
  ASSERT_EQ(S_OK, filter_->SetSyncSource(&clock));
  pins_[2]->activate_result = kFailureA;
  EXPECT_EQ(kFailureA, filter_->Run(4000));
  EXPECT_EQ((Calls{"A0", "A2"}), TakeCalls());
  EXPECT_EQ(State_Stopped, State());
  REFERENCE_TIME stream_time = 0;
  EXPECT_EQ(S_OK, filter_->GetStreamTime(&stream_time));
  EXPECT_EQ(6000, stream_time);
  ASSERT_EQ(S_OK, filter_->SetSyncSource(nullptr));
  EXPECT_EQ(1, clock.ref_count());
}

// Like Stop: every connected pin stops delivering, whatever an earlier one reported,
// and the filter is paused, so that the next Run tells every pin to deliver again.
TEST_F(FilterStateTest, PauseFromRunningReachesPausedAndReportsTheFirstPausingFailure) {
  ASSERT_EQ(S_OK, filter_->Run(0));
  TakeCalls();
  pins_[0]->pausing_result = kFailureA;
  pins_[2]->pausing_result = kFailureB;
  EXPECT_EQ(kFailureA, filter_->Pause());
  EXPECT_EQ((Calls{"P0", "P2"}), TakeCalls());
  EXPECT_EQ(State_Paused, State());
  EXPECT_EQ(S_OK, filter_->Run(0));
  EXPECT_EQ((Calls{"R0", "R2"}), TakeCalls());
  EXPECT_EQ(State_Running, State());
}

// A live source answers VFW_S_CANT_CUE while paused with a pin connected, so that the
// graph does not wait for a preroll sample; unconnected, or in any other state, S_OK.
TEST_F(BaseFilterTest, GetStateOfALiveSource) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_, 2);
  ASSERT_NE(nullptr, filter);
  StreamSink sink;
  struct Row {
    const char* what;
    bool connect_second;
    FILTER_STATE state;
    HRESULT expected;
  };
  const Row rows[] = {
      {"stopped, unconnected", false, State_Stopped, S_OK},
      {"paused, unconnected", false, State_Paused, S_OK},
      {"running, unconnected", false, State_Running, S_OK},
      {"stopped, connected", true, State_Stopped, S_OK},
      {"paused, second pin connected", true, State_Paused, VFW_S_CANT_CUE},
      {"running, connected", true, State_Running, S_OK},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(S_OK, filter->Stop());
    if (row.connect_second && !filter->stream(1)->IsConnected()) {
      AM_MEDIA_TYPE type{};
      MakeFrameType(&type);
      ASSERT_EQ(S_OK, filter->stream(1)->Connect(&sink, &type));
      CoTaskMemFree(type.pbFormat);
    }
    if (row.state == State_Paused) {
      ASSERT_EQ(S_OK, filter->Pause());
    } else if (row.state == State_Running) {
      ASSERT_EQ(S_OK, filter->Run(0));
    }
    FILTER_STATE state = static_cast<FILTER_STATE>(77);
    EXPECT_EQ(row.expected, filter->GetState(0, &state));
    EXPECT_EQ(row.state, state);
    EXPECT_EQ(E_POINTER, filter->GetState(0, nullptr));
  }
  ASSERT_EQ(S_OK, filter->Stop());
  filter->stream(1)->Disconnect();
  EXPECT_EQ(0u, filter->base_filter()->Release());
  EXPECT_EQ(1, sink.ref_count());
}

TEST_F(FilterStateTest, RunFromPausedStopsAtTheFirstRunningFailure) {
  ASSERT_EQ(S_OK, filter_->Pause());
  TakeCalls();
  pins_[0]->running_result = kFailureA;
  EXPECT_EQ(kFailureA, filter_->Run(0));
  EXPECT_EQ(Calls{"R0"}, TakeCalls());
  EXPECT_EQ(State_Paused, State());
}

TEST_F(FilterStateTest, StopReachesStoppedAndReportsTheFirstFailure) {
  ASSERT_EQ(S_OK, filter_->Run(0));
  TakeCalls();
  pins_[0]->deactivate_result = kFailureA;
  pins_[2]->deactivate_result = kFailureB;
  EXPECT_EQ(kFailureA, filter_->Stop());
  EXPECT_EQ((Calls{"D0", "D2"}), TakeCalls());
  EXPECT_EQ(State_Stopped, State());
  pins_[0]->deactivate_result = S_OK;
  pins_[2]->deactivate_result = S_OK;
}

TEST_F(BaseFilterTest, SyncSourceReferencesAndStreamTime) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_);
  ASSERT_NE(nullptr, filter);
  REFERENCE_TIME time = 123;
  EXPECT_EQ(VFW_E_NO_CLOCK, filter->GetStreamTime(&time));

  IReferenceClock* out = reinterpret_cast<IReferenceClock*>(0x1);
  EXPECT_EQ(E_POINTER, filter->GetSyncSource(nullptr));
  EXPECT_EQ(S_OK, filter->GetSyncSource(&out));
  EXPECT_EQ(nullptr, out);

  FakeClock first(50000);
  FakeClock second(90000);
  EXPECT_EQ(S_OK, filter->SetSyncSource(&first));
  EXPECT_EQ(2, first.ref_count());
  EXPECT_EQ(S_OK, filter->GetSyncSource(&out));
  EXPECT_EQ(&first, out);
  EXPECT_EQ(3, first.ref_count());
  out->Release();

  // Stream time is the clock's time minus the start time given to Run: negative
  // before that moment.
  EXPECT_EQ(S_OK, filter->GetStreamTime(&time));
  EXPECT_EQ(50000, time);
  ASSERT_EQ(S_OK, filter->Run(80000));
  EXPECT_EQ(S_OK, filter->GetStreamTime(&time));
  EXPECT_EQ(-30000, time);
  first.set_time(100000);
  EXPECT_EQ(S_OK, filter->GetStreamTime(&time));
  EXPECT_EQ(20000, time);

  // A success code from the clock is success; a failure is passed on.
  first.set_result(S_FALSE);
  EXPECT_EQ(S_OK, filter->GetStreamTime(&time));
  EXPECT_EQ(20000, time);
  first.set_result(kFailureA);
  EXPECT_EQ(kFailureA, filter->GetStreamTime(&time));

  EXPECT_EQ(S_OK, filter->SetSyncSource(&second));
  EXPECT_EQ(1, first.ref_count());
  EXPECT_EQ(2, second.ref_count());
  EXPECT_EQ(S_OK, filter->GetStreamTime(&time));
  EXPECT_EQ(10000, time);
  EXPECT_EQ(S_OK, filter->SetSyncSource(nullptr));
  EXPECT_EQ(1, second.ref_count());
  EXPECT_EQ(VFW_E_NO_CLOCK, filter->GetStreamTime(&time));

  EXPECT_EQ(S_OK, filter->Stop());
  // A filter released with a clock still set gives its reference back.
  EXPECT_EQ(S_OK, filter->SetSyncSource(&second));
  EXPECT_EQ(0u, filter->base_filter()->Release());
  EXPECT_EQ(1, second.ref_count());
}

// A start time near the ends of the range gives the nearest stream time the type holds.
TEST_F(BaseFilterTest, StreamTimeSaturatesForStartTimesFarOut) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_);
  ASSERT_NE(nullptr, filter);
  constexpr REFERENCE_TIME kMax = std::numeric_limits<REFERENCE_TIME>::max();
  constexpr REFERENCE_TIME kMin = std::numeric_limits<REFERENCE_TIME>::min();
  struct Row {
    REFERENCE_TIME clock;
    REFERENCE_TIME start;
    REFERENCE_TIME expected;
  };
  const Row rows[] = {
      {10000, kMin, kMax}, {-10000, kMax, kMin}, {kMax, kMax, 0}, {-1, kMax, kMin}, {0, kMin + 1, kMax},
  };
  FakeClock clock;
  ASSERT_EQ(S_OK, filter->SetSyncSource(&clock));
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "clock " << row.clock << ", start " << row.start);
    clock.set_time(row.clock);
    ASSERT_EQ(S_OK, filter->Run(row.start));
    REFERENCE_TIME time = 0;
    EXPECT_EQ(S_OK, filter->GetStreamTime(&time));
    EXPECT_EQ(row.expected, time);
  }
  EXPECT_EQ(S_OK, filter->Stop());
  EXPECT_EQ(S_OK, filter->SetSyncSource(nullptr));
  EXPECT_EQ(0u, filter->base_filter()->Release());
  EXPECT_EQ(1, clock.ref_count());
}

// A worker thread reads the stream time without any filter lock while another thread
// swaps and drops clocks. Each clock is left with the filter's reference only, so the
// swap releases it for good; a reader still using it would be caught by the clock.
TEST_F(BaseFilterTest, ClockSwappedWhileAWorkerReadsIt) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_);
  ASSERT_NE(nullptr, filter);
  constexpr int kClocks = 3000;
  std::vector<std::unique_ptr<FakeClock>> clocks;
  for (int i = 0; i < kClocks; ++i) clocks.push_back(std::make_unique<FakeClock>(i));

  std::atomic<bool> done{false};
  std::atomic<long> reads{0};
  std::thread reader([&] {
    REFERENCE_TIME time = 0;
    while (!done.load()) {
      const HRESULT hr = filter->GetStreamTime(&time);
      if (hr != S_OK && hr != VFW_E_NO_CLOCK) ADD_FAILURE() << "GetStreamTime gave " << std::hex << hr;
      ++reads;
    }
  });
  const ULONGLONG deadline = ::GetTickCount64() + 20000;
  long seen = 0;
  for (auto& clock : clocks) {
    // Let the reader in between every two swaps.
    while (reads.load() == seen && ::GetTickCount64() < deadline) ::SwitchToThread();
    seen = reads.load();
    ASSERT_EQ(S_OK, filter->SetSyncSource(clock.get()));
    clock->Release();  // now only the filter holds it
    if (&clock == &clocks[kClocks / 2]) {
      ASSERT_EQ(S_OK, filter->SetSyncSource(nullptr));
    }
  }
  ASSERT_EQ(S_OK, filter->SetSyncSource(nullptr));
  done = true;
  reader.join();

  long calls = 0;
  for (auto& clock : clocks) {
    EXPECT_TRUE(clock->released());
    EXPECT_EQ(0, clock->calls_after_release());
    calls += clock->get_time_calls();
  }
  // The reader really overlapped the swaps.
  EXPECT_GT(calls, kClocks / 2);
  std::printf("stream time reads: %ld, of which on a clock: %ld\n", reads.load(), calls);
  EXPECT_EQ(0u, filter->base_filter()->Release());
}

TEST_F(BaseFilterTest, FindPinReadsTheIdAsADecimalNumber) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_);
  ASSERT_NE(nullptr, filter);
  IBaseFilter* base = filter->base_filter();
  IPin* first = static_cast<IPin*>(filter->stream(0));

  struct Case {
    const wchar_t* id;
    HRESULT result;
  };
  const Case cases[] = {
      {L"1", S_OK},          {L"01", S_OK},         {L" 1", S_OK},           {L"1abc", S_OK},
      {L"0", VFW_E_NOT_FOUND}, {L"2", VFW_E_NOT_FOUND}, {L"abc", VFW_E_NOT_FOUND}, {L"", VFW_E_NOT_FOUND},
      {L"-1", VFW_E_NOT_FOUND}, {L"4294967297", VFW_E_NOT_FOUND}, {L"99999999999999999999999", VFW_E_NOT_FOUND},
  };
  for (const Case& c : cases) {
    IPin* pin = reinterpret_cast<IPin*>(0x1);
    EXPECT_EQ(c.result, base->FindPin(c.id, &pin)) << "id \"" << static_cast<const void*>(c.id) << "\"";
    if (c.result == S_OK) {
      EXPECT_EQ(first, pin);
      EXPECT_EQ(2u, GetRefcount(base));
      if (pin) pin->Release();
    } else {
      EXPECT_EQ(nullptr, pin);
    }
  }
  IPin* pin = reinterpret_cast<IPin*>(0x1);
  EXPECT_EQ(E_POINTER, base->FindPin(nullptr, &pin));
  EXPECT_EQ(nullptr, pin);
  EXPECT_EQ(E_POINTER, base->FindPin(L"1", nullptr));
  EXPECT_EQ(1u, GetRefcount(base));

  // FindPin is the inverse of the pin's QueryId.
  platform::UniqueTaskMem<wchar_t> id;
  ASSERT_EQ(S_OK, first->QueryId(id.put()));
  ASSERT_EQ(S_OK, base->FindPin(id.get(), &pin));
  EXPECT_EQ(first, pin);
  pin->Release();
  EXPECT_EQ(0u, base->Release());
}

TEST_F(BaseFilterTest, QueryFilterInfoNameAndGraph) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_);
  ASSERT_NE(nullptr, filter);
  IBaseFilter* base = filter->base_filter();
  EXPECT_EQ(E_POINTER, base->QueryFilterInfo(nullptr));

  FILTER_INFO info;
  std::memset(&info, 0xcc, sizeof(info));
  EXPECT_EQ(S_OK, base->QueryFilterInfo(&info));
  EXPECT_EQ(L'\0', info.achName[0]);
  EXPECT_EQ(nullptr, info.pGraph);

  FakeGraph graph(true);
  const std::wstring long_name(200, L'x');
  ASSERT_EQ(S_OK, base->JoinFilterGraph(&graph, (long_name.substr(0, 199) + L"y").c_str()));
  EXPECT_EQ(1, graph.ref_count());  // kept without a reference
  std::memset(&info, 0xcc, sizeof(info));
  EXPECT_EQ(S_OK, base->QueryFilterInfo(&info));
  EXPECT_EQ(std::wstring(127, L'x'), std::wstring(info.achName));
  EXPECT_EQ(static_cast<IFilterGraph*>(&graph), info.pGraph);
  EXPECT_EQ(2, graph.ref_count());
  info.pGraph->Release();

  ASSERT_EQ(S_OK, base->JoinFilterGraph(&graph, L"0001"));
  EXPECT_EQ(S_OK, base->QueryFilterInfo(&info));
  EXPECT_EQ(std::wstring(L"0001"), std::wstring(info.achName));
  info.pGraph->Release();

  // Leaving the graph: graph, sink and name all go.
  ASSERT_EQ(S_OK, base->JoinFilterGraph(nullptr, nullptr));
  EXPECT_EQ(nullptr, filter->graph());
  EXPECT_EQ(nullptr, filter->event_sink());
  EXPECT_EQ(S_OK, base->QueryFilterInfo(&info));
  EXPECT_EQ(L'\0', info.achName[0]);
  EXPECT_EQ(nullptr, info.pGraph);
  EXPECT_EQ(1, graph.ref_count());
  EXPECT_EQ(0u, base->Release());
}

TEST_F(BaseFilterTest, JoinFilterGraphFindsTheEventSinkWhenThereIsOne) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_);
  ASSERT_NE(nullptr, filter);
  IBaseFilter* base = filter->base_filter();

  FakeGraph with_sink(true);
  ASSERT_EQ(S_OK, base->JoinFilterGraph(&with_sink, L"cam"));
  EXPECT_EQ(static_cast<IFilterGraph*>(&with_sink), filter->graph());
  EXPECT_EQ(static_cast<IMediaEventSink*>(&with_sink), filter->event_sink());
  EXPECT_EQ(1, with_sink.ref_count());

  FakeGraph without_sink(false);
  ASSERT_EQ(S_OK, base->JoinFilterGraph(&without_sink, nullptr));
  EXPECT_EQ(static_cast<IFilterGraph*>(&without_sink), filter->graph());
  EXPECT_EQ(nullptr, filter->event_sink());
  FILTER_INFO info;
  EXPECT_EQ(S_OK, base->QueryFilterInfo(&info));
  EXPECT_EQ(L'\0', info.achName[0]);
  info.pGraph->Release();
  EXPECT_EQ(1, without_sink.ref_count());
  EXPECT_EQ(0u, base->Release());
}

TEST_F(BaseFilterTest, JoinFilterGraphOutOfMemoryChangesNothing) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_);
  ASSERT_NE(nullptr, filter);
  IBaseFilter* base = filter->base_filter();
  FakeGraph first(true);
  ASSERT_EQ(S_OK, base->JoinFilterGraph(&first, L"first"));

  FakeGraph second(false);
  {
    test::AllocationFailureScope no_memory;
    EXPECT_EQ(E_OUTOFMEMORY, base->JoinFilterGraph(&second, L"second"));
  }
  FILTER_INFO info;
  EXPECT_EQ(S_OK, base->QueryFilterInfo(&info));
  EXPECT_EQ(std::wstring(L"first"), std::wstring(info.achName));
  EXPECT_EQ(static_cast<IFilterGraph*>(&first), info.pGraph);
  EXPECT_EQ(static_cast<IMediaEventSink*>(&first), filter->event_sink());
  info.pGraph->Release();
  EXPECT_EQ(1, second.ref_count());
  EXPECT_EQ(0u, base->Release());
}

TEST_F(BaseFilterTest, AttachPinOutOfMemoryLeavesThePinListUnchanged) {
  TestSourceFilter* filter = TestSourceFilter::Create(&log_, 1);
  ASSERT_NE(nullptr, filter);
  HRESULT hr = S_OK;
  auto* extra = new TestStream(&hr, filter, &log_);
  ASSERT_EQ(S_OK, hr);
  EXPECT_EQ(2, filter->PinCount());
  {
    test::AllocationFailureScope no_memory;
    EXPECT_EQ(E_OUTOFMEMORY, filter->AttachPin(extra));
  }
  EXPECT_EQ(2, filter->PinCount());
  EXPECT_EQ(static_cast<framework::CBasePin*>(filter->stream(0)), filter->PinAt(0));
  EXPECT_EQ(static_cast<framework::CBasePin*>(extra), filter->PinAt(1));
  EXPECT_EQ(nullptr, filter->PinAt(2));
  EXPECT_EQ(nullptr, filter->PinAt(-1));
  EXPECT_EQ(0u, filter->base_filter()->Release());
}

// The last reference dropped while the worker streams: the filter stops, ends and
// joins its worker before any of it is destroyed.
TEST_F(BaseFilterTest, ReleasedWhileRunningStopsAndJoinsItsWorker) {
  for (FILTER_STATE target : {State_Paused, State_Running}) {
    StreamLog log;
    StreamSink sink;
    TestSourceFilter* filter = TestSourceFilter::Create(&log);
    ASSERT_NE(nullptr, filter);
    AM_MEDIA_TYPE type{};
    MakeFrameType(&type);
    ASSERT_EQ(S_OK, filter->stream(0)->Connect(&sink, &type));
    CoTaskMemFree(type.pbFormat);
    ASSERT_EQ(S_OK, target == State_Paused ? filter->Pause() : filter->Run(0));
    ASSERT_TRUE(filter->stream(0)->HasWorker());
    if (target == State_Running) {
      ASSERT_TRUE(sink.WaitForReceives(5));
    }

    EXPECT_EQ(0u, filter->base_filter()->Release());
    EXPECT_EQ(1, log.filter_destroyed.load());
    EXPECT_EQ(1, log.thread_exits.load());
    EXPECT_LT(log.last_exit_step.load(), log.pin_destroyed_step.load());
    const LONG received = sink.receive_count();
    EXPECT_EQ(static_cast<size_t>(received), sink.frames().size());
    EXPECT_EQ(1, sink.ref_count());
  }
}

// Connects `filter` to `sink`, which offers `allocator`, streams, and stops while the
// allocator refuses to decommit: the worker goes on streaming in the stopped filter.
void StreamThenFailToStop(TestSourceFilter* filter, StreamSink* sink, test::ForwardingAllocator* allocator) {
  sink->allocator = allocator;  // offered downstream, so the test controls it
  sink->expects_flush = true;   // a leftover worker is flushed out
  sink->watches_flush = true;   // while it still runs, and ended before the flush ends
  AM_MEDIA_TYPE type{};
  MakeFrameType(&type);
  ASSERT_EQ(S_OK, filter->stream(0)->Connect(sink, &type));
  CoTaskMemFree(type.pbFormat);
  EXPECT_EQ(filter->stream(0)->pool(), static_cast<IMemAllocator*>(allocator));
  ASSERT_EQ(S_OK, filter->Run(0));
  ASSERT_TRUE(sink->WaitForReceives(3));

  allocator->fail_decommit = true;
  EXPECT_EQ(kFailureB, filter->Stop());
  FILTER_STATE state = State_Running;
  EXPECT_EQ(S_OK, filter->GetState(0, &state));
  EXPECT_EQ(State_Stopped, state);
  ASSERT_TRUE(filter->stream(0)->HasWorker());
  const LONG before = sink->receive_count();
  ASSERT_TRUE(sink->WaitForReceives(before + 2)) << "the worker still streams";
}

// The final release still ends and joins such a worker.
TEST_F(BaseFilterTest, ReleasedAfterAFailedDecommitStillEndsItsWorker) {
  platform::ComPtr<IMemAllocator> real;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   real.put_void()));
  test::ForwardingAllocator allocator(real.get(), kFailureB);
  StreamSink sink;
  {
    StreamLog log;
    TestSourceFilter* filter = TestSourceFilter::Create(&log);
    ASSERT_NE(nullptr, filter);
    ASSERT_NO_FATAL_FAILURE(StreamThenFailToStop(filter, &sink, &allocator));

    EXPECT_EQ(0u, filter->base_filter()->Release());
    EXPECT_EQ(1, log.thread_exits.load());
    EXPECT_LT(log.last_exit_step.load(), log.pin_destroyed_step.load());
    EXPECT_EQ(1, sink.begin_flushes);
    EXPECT_EQ(1, sink.end_flushes);
    EXPECT_EQ(1, sink.worker_alive_at_begin_flush.load());
    EXPECT_EQ(0, sink.worker_alive_at_end_flush.load());
  }
  EXPECT_EQ(1, allocator.ref_count());
  EXPECT_EQ(1, sink.ref_count());
}

// A Pause cannot start a second worker beside such a worker, and a failed Pause
// changes nothing: the one there goes on streaming until the release ends it.
TEST_F(BaseFilterTest, PauseThatCannotStartAWorkerLeavesTheOneStreaming) {
  platform::ComPtr<IMemAllocator> real;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   real.put_void()));
  test::ForwardingAllocator allocator(real.get(), kFailureB);
  StreamSink sink;
  {
    StreamLog log;
    TestSourceFilter* filter = TestSourceFilter::Create(&log);
    ASSERT_NE(nullptr, filter);
    ASSERT_NO_FATAL_FAILURE(StreamThenFailToStop(filter, &sink, &allocator));

    EXPECT_EQ(E_FAIL, filter->Pause());
    FILTER_STATE state = State_Running;
    EXPECT_EQ(S_OK, filter->GetState(0, &state));
    EXPECT_EQ(State_Stopped, state);
    const LONG before = sink.receive_count();
    EXPECT_TRUE(sink.WaitForReceives(before + 2)) << "the worker still streams";
    EXPECT_EQ(1, log.thread_starts.load());

    EXPECT_EQ(0u, filter->base_filter()->Release());
    EXPECT_EQ(1, log.thread_exits.load());
  }
  EXPECT_EQ(1, allocator.ref_count());
  EXPECT_EQ(1, sink.ref_count());
}

// A disconnection must not take the allocator and the downstream pin from under such
// a worker: the pin stays connected while the allocator refuses, and ends the worker
// first once the allocator lets go.
TEST_F(BaseFilterTest, DisconnectAfterAFailedDecommitEndsTheWorkerFirst) {
  platform::ComPtr<IMemAllocator> real;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   real.put_void()));
  test::ForwardingAllocator allocator(real.get(), kFailureB);
  StreamSink sink;
  {
    StreamLog log;
    TestSourceFilter* filter = TestSourceFilter::Create(&log);
    ASSERT_NE(nullptr, filter);
    ASSERT_NO_FATAL_FAILURE(StreamThenFailToStop(filter, &sink, &allocator));

    allocator.fail_decommit = true;  // refuses once more
    EXPECT_EQ(kFailureB, filter->stream(0)->Disconnect());
    platform::ComPtr<IPin> peer;
    EXPECT_EQ(S_OK, filter->stream(0)->ConnectedTo(peer.put())) << "still connected";
    EXPECT_EQ(static_cast<IPin*>(&sink), peer.get());
    peer.reset();
    EXPECT_EQ(static_cast<IMemAllocator*>(&allocator), filter->stream(0)->pool());
    const LONG before = sink.receive_count();
    ASSERT_TRUE(sink.WaitForReceives(before + 2)) << "the worker still streams";

    EXPECT_EQ(0, sink.begin_flushes) << "nothing happened to the worker while the allocator refused";
    EXPECT_EQ(S_OK, filter->stream(0)->Disconnect());
    EXPECT_EQ(1, sink.begin_flushes) << "a downstream Receive holding the worker is let go";
    EXPECT_EQ(1, sink.end_flushes);
    EXPECT_EQ(1, sink.worker_alive_at_begin_flush.load()) << "flushed before the worker was told to stop";
    EXPECT_EQ(0, sink.worker_alive_at_end_flush.load()) << "the flush ended after the worker";
    EXPECT_FALSE(filter->stream(0)->HasWorker());
    EXPECT_EQ(1, log.thread_exits.load()) << "ended before its allocator went";
    EXPECT_EQ(nullptr, filter->stream(0)->pool());
    const LONG after = sink.receive_count();
    ::Sleep(100);
    EXPECT_EQ(after, sink.receive_count()) << "nothing delivered after the disconnection";

    EXPECT_EQ(0u, filter->base_filter()->Release());
  }
  EXPECT_EQ(1, allocator.ref_count());
  EXPECT_EQ(1, sink.ref_count());
}

}  // namespace
}  // namespace veltrano::source_test
