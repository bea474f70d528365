// The source stream pin and its worker: the command protocol, delivery only while
// running, the sample loop's endings (end of stream, fill error, downstream refusal), activation and
// deactivation, the default type hooks, QueryId, and a filter stopped or released
// from inside its own worker's call out.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

#include "common/com_test_helpers.h"
#include "common/fake_graph.h"
#include "common/forwarding_allocator.h"
#include "common/finishes_in_time.h"
#include "common/settled_value.h"
#include "common/task_mem_spy.h"
#include "framework/test_source_filter.h"
#include "platform/task_mem.h"
#include "platform/unique_handle.h"

namespace veltrano::source_test {
namespace {

using framework::ActiveObjectCount;
using framework::CMediaTypeRecord;
using test::FakeGraph;
using test::NotifyRecord;

constexpr HRESULT kFillError = static_cast<HRESULT>(0x80049999);
constexpr HRESULT kStartError = static_cast<HRESULT>(0x80047777);
constexpr DWORD kWaitMs = 10000;

// Polls `condition` for at most kWaitMs.
bool BecomesTrue(const std::function<bool()>& condition) {
  const ULONGLONG deadline = ::GetTickCount64() + kWaitMs;
  while (!condition()) {
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(1);
  }
  return true;
}

class SourceStreamTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com_.succeeded());
    objects_before_ = ActiveObjectCount();
    handles_before_ = platform::LiveHandleCount();
    filter_ = TestSourceFilter::Create(&log_);
    ASSERT_NE(nullptr, filter_);
    stream_ = filter_->stream(0);
  }
  void TearDown() override {
    if (filter_) {
      EXPECT_EQ(S_OK, filter_->Stop());
      EXPECT_FALSE(stream_->HasWorker());
      stream_->Disconnect();
      EXPECT_EQ(S_OK, filter_->JoinFilterGraph(nullptr, nullptr));
      EXPECT_EQ(0u, filter_->base_filter()->Release());
    }
    sink_.ReleaseHeldSamples();
    EXPECT_EQ(1, sink_.ref_count());
    EXPECT_EQ(1, graph_.ref_count());
    EXPECT_EQ(objects_before_, ActiveObjectCount());
    EXPECT_EQ(handles_before_, platform::LiveHandleCount());
  }
  void Connect() {
    AM_MEDIA_TYPE type{};
    MakeFrameType(&type);
    ASSERT_EQ(S_OK, stream_->Connect(&sink_, &type));
    CoTaskMemFree(type.pbFormat);
  }
  // Frames received so far are 0, 1, 2, ... in order.
  void ExpectFramesInOrder() {
    const std::vector<LONG> frames = sink_.frames();
    for (size_t i = 0; i < frames.size(); ++i) ASSERT_EQ(static_cast<LONG>(i), frames[i]);
  }
  // In order, with gaps only where a Pause or Run dropped a sample being filled.
  void ExpectFramesRising() {
    const std::vector<LONG> frames = sink_.frames();
    for (size_t i = 1; i < frames.size(); ++i) ASSERT_LT(frames[i - 1], frames[i]) << i;
  }

  platform::ScopedComInit com_{COINIT_MULTITHREADED};
  long objects_before_ = 0;
  long handles_before_ = 0;
  StreamLog log_;
  StreamSink sink_;
  FakeGraph graph_{true};
  TestSourceFilter* filter_ = nullptr;
  TestStream* stream_ = nullptr;
};

TEST_F(SourceStreamTest, RunStreamsNumberedFramesAndStopEndsTheWorker) {
  Connect();
  ASSERT_EQ(S_OK, filter_->Run(0));
  EXPECT_TRUE(stream_->HasWorker());
  ASSERT_TRUE(sink_.WaitForReceives(20));
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_FALSE(stream_->HasWorker());
  EXPECT_EQ(1, log_.thread_starts.load());
  EXPECT_EQ(1, log_.streaming_starts.load());
  EXPECT_EQ(1, log_.thread_exits.load());
  ExpectFramesInOrder();
  EXPECT_EQ(0, sink_.end_of_stream_count());

  // Stopped, the allocator is decommitted: no buffer can be had.
  IMediaSample* sample = nullptr;
  EXPECT_EQ(VFW_E_NOT_COMMITTED, stream_->pool()->GetBuffer(&sample, nullptr, nullptr, 0));

  // And a second run starts a fresh worker.
  const LONG before = sink_.receive_count();
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(before + 5));
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(2, log_.thread_starts.load());
  EXPECT_EQ(2, log_.thread_exits.load());
  ExpectFramesInOrder();
}

// Paused, the worker exists and the allocator is committed, but the worker blocks
// without asking for a single buffer until Run; Pause from Running stops delivery
// again without ending the worker.
TEST_F(SourceStreamTest, PausedDeliversNothingUntilRun) {
  platform::ComPtr<IMemAllocator> real;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   real.put_void()));
  test::ForwardingAllocator allocator(real.get());
  std::atomic<LONG> get_buffers{0};
  allocator.on_get_buffer = [&] { ++get_buffers; };
  sink_.allocator = &allocator;
  struct Disconnecter {
    TestSourceFilter* filter;
    StreamSink* sink;
    ~Disconnecter() {
      filter->Stop();
      filter->stream(0)->Disconnect();
      sink->allocator = nullptr;
    }
  } disconnecter{filter_, &sink_};
  Connect();

  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_EQ(S_OK, filter_->Pause());
    EXPECT_TRUE(stream_->HasWorker());
    // A worker just past its look at the request may still take a buffer and deliver
    // the sample it had begun; both counts only grow, so their sum holds still with them.
    test::SettledValue([&] { return get_buffers.load() + sink_.receive_count(); }, 50);
    const LONG buffers = get_buffers.load();
    const LONG received = sink_.receive_count();
    ::Sleep(300);
    // A polling worker would have asked the allocator for buffers by now.
    EXPECT_EQ(buffers, get_buffers.load());
    EXPECT_EQ(received, sink_.receive_count());
    if (cycle == 0) {
      IMediaSample* sample = nullptr;
      ASSERT_EQ(S_OK, real->GetBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT)) << "committed while paused";
      sample->Release();
    }
    ASSERT_EQ(S_OK, filter_->Run(0));
    ASSERT_TRUE(sink_.WaitForReceives(received + 5));
  }
  ASSERT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(1, log_.thread_starts.load());
  EXPECT_EQ(3, log_.streaming_starts.load());  // once per Run
  EXPECT_EQ(1, log_.thread_exits.load());
  ExpectFramesRising();
}

// A renderer paused downstream keeps the worker inside Receive until the graph runs
// again: neither Pause nor Run may wait for the worker to come back from there.
TEST_F(SourceStreamTest, PauseAndRunDoNotWaitForAWorkerHeldDownstream) {
  Connect();
  platform::UniqueHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  platform::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> armed{false};
  sink_.on_receive = [&] {
    if (!armed.exchange(false)) return;
    ::SetEvent(entered.get());
    ::WaitForSingleObject(release.get(), kWaitMs);
  };
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2));
  armed = true;
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(entered.get(), kWaitMs));
  const LONG held = sink_.receive_count();  // the held sample is counted once Receive returns
  HRESULT paused = E_PENDING;
  const bool pause_returned = test::FinishesInTime([&] { paused = filter_->Pause(); });
  ::SetEvent(release.get());
  ASSERT_TRUE(pause_returned) << "Pause waited for the worker held in Receive";
  EXPECT_EQ(S_OK, paused);
  // The held sample was the last: once it is back, nothing more is delivered.
  const LONG at_pause = held + 1;
  ASSERT_TRUE(sink_.WaitForReceives(at_pause));
  EXPECT_FALSE(sink_.WaitForReceives(at_pause + 1, 300));
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(at_pause + 3));
  EXPECT_EQ(S_OK, filter_->Stop());
  ExpectFramesRising();
}

// A fill that waits a long time (a low frame rate) is cut short by Stop and by Pause,
// and its sample is dropped, not delivered.
TEST_F(SourceStreamTest, StopAndPauseCutALongFillWaitShort) {
  Connect();
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2));
  stream_->fill_wait_ms = 60000;
  ASSERT_TRUE(BecomesTrue([&] { return stream_->fill_waits.load() == 1; }));
  HRESULT paused = E_PENDING;
  ASSERT_TRUE(test::FinishesInTime([&] { paused = filter_->Pause(); }));
  EXPECT_EQ(S_OK, paused);
  ASSERT_TRUE(BecomesTrue([&] { return stream_->interrupted_fills.load() == 1; }));
  const LONG delivered = sink_.receive_count();
  EXPECT_EQ(delivered, static_cast<LONG>(sink_.frames().size()));

  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(BecomesTrue([&] { return stream_->fill_waits.load() == 2; }));
  HRESULT stopped = E_PENDING;
  ASSERT_TRUE(test::FinishesInTime([&] { stopped = filter_->Stop(); }));
  EXPECT_EQ(S_OK, stopped);
  EXPECT_EQ(2, stream_->interrupted_fills.load());
  EXPECT_EQ(delivered, sink_.receive_count()) << "a fill cut short was delivered";
}

// Commands that streaming answers E_UNEXPECTED leave the run alone: the sample being
// filled, whose wait they find under way, is still delivered.
TEST_F(SourceStreamTest, CommandsThatDoNotEndTheRunDropNoSample) {
  Connect();
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2));
  stream_->fill_wait_ms = 200;
  for (const DWORD command : {DWORD{framework::WorkerExit}, DWORD{framework::WorkerInit}, DWORD{9}}) {
    SCOPED_TRACE(command);
    const LONG waits = stream_->fill_waits.load();
    ASSERT_TRUE(BecomesTrue([&] { return stream_->fill_waits.load() > waits; }));
    EXPECT_EQ(E_UNEXPECTED, stream_->SendCommand(command));
  }
  EXPECT_EQ(0, stream_->interrupted_fills.load());
  stream_->fill_wait_ms = 0;
  EXPECT_EQ(S_OK, filter_->Stop());
  ExpectFramesInOrder();
}

// The Run that starts a run has been seen by the time the run begins, even where it
// signals the worker only after the worker read it (the worker reads it while Run is
// still on its way from the activation): that signal must not cut the run's waits
// short; only a later request or command may.
TEST_F(SourceStreamTest, TheRunsOwnRequestDoesNotCutItsWaitsShort) {
  Connect();
  // The race is narrow (a few runs in a hundred meet it here): many short runs.
  stream_->fill_wait_ms = 25;
  for (int i = 0; i < 150; ++i) {
    const LONG before = sink_.receive_count();
    ASSERT_EQ(S_OK, filter_->Run(0));
    ASSERT_TRUE(sink_.WaitForReceives(before + 1)) << i;
    ASSERT_EQ(S_OK, filter_->Stop()) << i;
  }
  EXPECT_EQ(0, stream_->short_fill_waits.load());
}

// A Stop that reaches the worker before it began the run that Run asked for ends
// that run too: the worker must not start streaming between Stop and Exit.
TEST_F(SourceStreamTest, StopRightAfterRunEndsTheWorker) {
  Connect();
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(S_OK, filter_->Pause());
    ASSERT_EQ(S_OK, filter_->Run(0));
    ASSERT_EQ(S_OK, filter_->Stop()) << i;
    ASSERT_FALSE(stream_->HasWorker()) << i;
  }
  EXPECT_EQ(200, log_.thread_exits.load());
}

TEST_F(SourceStreamTest, CommandsWhileStreamingAndWhileIdle) {
  Connect();
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(3));

  // Streaming: only Pause, Run and Stop are understood; Run starts a run of its own.
  EXPECT_EQ(E_UNEXPECTED, stream_->SendCommand(framework::WorkerExit));
  EXPECT_EQ(E_UNEXPECTED, stream_->SendCommand(framework::WorkerInit));
  EXPECT_EQ(S_OK, stream_->SendCommand(framework::WorkerRun));
  LONG before = sink_.receive_count();
  ASSERT_TRUE(sink_.WaitForReceives(before + 3));  // still streaming
  EXPECT_EQ(2, log_.streaming_starts.load());

  // Pause: the worker stays, idle, and delivers nothing.
  EXPECT_EQ(S_OK, stream_->SendCommand(framework::WorkerPause));
  before = sink_.receive_count();
  EXPECT_FALSE(sink_.WaitForReceives(before + 1, 200));
  EXPECT_EQ(S_OK, stream_->SendCommand(framework::WorkerPause));

  // Idle after Stop: a second Init and unknown commands are not implemented.
  EXPECT_EQ(S_OK, stream_->SendCommand(framework::WorkerStop));
  EXPECT_EQ(E_NOTIMPL, stream_->SendCommand(framework::WorkerInit));
  EXPECT_EQ(E_NOTIMPL, stream_->SendCommand(9));
  EXPECT_EQ(S_OK, stream_->SendCommand(framework::WorkerStop));
  EXPECT_EQ(2, log_.streaming_starts.load());

  // Run from idle streams again, calling the streaming hook once more.
  before = sink_.receive_count();
  EXPECT_EQ(S_OK, stream_->SendCommand(framework::WorkerRun));
  ASSERT_TRUE(sink_.WaitForReceives(before + 3));
  EXPECT_EQ(3, log_.streaming_starts.load());
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(1, log_.thread_exits.load());
  EXPECT_EQ(E_FAIL, stream_->SendCommand(framework::WorkerPause));  // no worker
  ExpectFramesRising();
}

TEST_F(SourceStreamTest, FillResultsEndTheStream) {
  struct Case {
    HRESULT fill_result;
    bool event;
  };
  for (const Case c : {Case{S_FALSE, false}, Case{kFillError, true}, Case{static_cast<HRESULT>(2), true}}) {
    SCOPED_TRACE(testing::Message() << "fill result " << std::hex << c.fill_result);
    StreamLog log;
    StreamSink sink;
    FakeGraph graph(true);
    TestSourceFilter* filter = TestSourceFilter::Create(&log);
    ASSERT_NE(nullptr, filter);
    TestStream* stream = filter->stream(0);
    ASSERT_EQ(S_OK, filter->JoinFilterGraph(&graph, L"source"));
    AM_MEDIA_TYPE type{};
    MakeFrameType(&type);
    ASSERT_EQ(S_OK, stream->Connect(&sink, &type));
    CoTaskMemFree(type.pbFormat);
    stream->end_at_frame = 3;
    stream->end_result = c.fill_result;

    ASSERT_EQ(S_OK, filter->Run(0));
    ASSERT_TRUE(sink.WaitForEndOfStream());
    EXPECT_EQ(S_OK, filter->Stop());  // joins the worker, so every call it made is done
    EXPECT_EQ((std::vector<LONG>{0, 1, 2}), sink.frames());
    EXPECT_EQ(1, sink.end_of_stream_count());
    EXPECT_EQ(4, log.fills.load());
    const std::vector<NotifyRecord> events = graph.notifications();
    if (c.event) {
      ASSERT_EQ(1u, events.size());
      EXPECT_EQ(EC_ERRORABORT, events[0].code);
      // The code is sign-extended into the 64-bit parameter.
      EXPECT_EQ(static_cast<LONG_PTR>(c.fill_result), events[0].param1);
      EXPECT_EQ(0, events[0].param2);
    } else {
      EXPECT_TRUE(events.empty());
    }
    EXPECT_EQ(1, log.thread_exits.load());
    stream->Disconnect();
    EXPECT_EQ(0u, filter->base_filter()->Release());
    EXPECT_EQ(1, sink.ref_count());
  }
}

TEST_F(SourceStreamTest, FillErrorOutsideAGraphRaisesNoEvent) {
  Connect();
  stream_->end_at_frame = 0;
  stream_->end_result = kFillError;
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForEndOfStream());
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(0, sink_.receive_count());
  EXPECT_EQ(1, sink_.end_of_stream_count());
}

TEST_F(SourceStreamTest, DownstreamRefusalEndsStreamingSilently) {
  ASSERT_EQ(S_OK, filter_->JoinFilterGraph(&graph_, nullptr));
  Connect();
  sink_.receive_result = S_FALSE;
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(1));
  // The worker sits idle now; Stop still stops, ends and joins it.
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(1, sink_.receive_count());
  EXPECT_EQ(0, sink_.end_of_stream_count());
  EXPECT_TRUE(graph_.notifications().empty());
  EXPECT_EQ(1, log_.thread_exits.load());

  // An error from Receive ends it the same way.
  sink_.receive_result = E_FAIL;
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2));
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(2, sink_.receive_count());
  EXPECT_EQ(0, sink_.end_of_stream_count());
  EXPECT_TRUE(graph_.notifications().empty());
}

TEST_F(SourceStreamTest, UnconnectedPinStartsNothing) {
  EXPECT_EQ(S_OK, stream_->OnActivate());
  EXPECT_FALSE(stream_->HasWorker());
  EXPECT_EQ(S_OK, stream_->OnDeactivate());
  EXPECT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ(S_OK, filter_->Run(0));
  EXPECT_FALSE(stream_->HasWorker());
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(0, log_.thread_starts.load());
}

TEST_F(SourceStreamTest, ActivationWhenNotStoppedStartsNothing) {
  Connect();
  ASSERT_EQ(S_OK, filter_->Pause());
  EXPECT_EQ(S_FALSE, stream_->OnActivate());
  ASSERT_EQ(S_OK, filter_->Run(0));
  EXPECT_EQ(S_FALSE, stream_->OnActivate());
  EXPECT_EQ(1, log_.thread_starts.load());
}

TEST_F(SourceStreamTest, FailedWorkerInitEndsTheWorkerAndALaterActivationStartsAnother) {
  Connect();
  stream_->start_result = kStartError;
  EXPECT_EQ(kStartError, filter_->Pause());
  FILTER_STATE state = State_Running;
  ASSERT_EQ(S_OK, filter_->GetState(0, &state));
  EXPECT_EQ(State_Stopped, state);
  EXPECT_EQ(1, log_.thread_exits.load());  // the exit hook ran for the failed start
  EXPECT_FALSE(stream_->HasWorker());

  // No worker to answer: the command fails at once instead of waiting.
  HRESULT reply = S_OK;
  ASSERT_TRUE(test::FinishesInTime([&] { reply = stream_->SendCommand(framework::WorkerPause); }));
  EXPECT_EQ(E_FAIL, reply);

  stream_->start_result = S_OK;
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(3));
  EXPECT_EQ(2, log_.thread_starts.load());
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(2, log_.thread_exits.load());
}

TEST_F(SourceStreamTest, FailedWorkerInitThenActivatingAgainReplacesTheEndedWorker) {
  Connect();
  stream_->start_result = kStartError;
  EXPECT_EQ(kStartError, filter_->Pause());
  EXPECT_EQ(kStartError, filter_->Run(0));  // through Pause: a new worker fails again
  EXPECT_EQ(2, log_.thread_starts.load());
  stream_->start_result = S_OK;
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(3));
  EXPECT_EQ(3, log_.thread_starts.load());
}

TEST_F(SourceStreamTest, WorkerRunsInTheMultithreadedApartment) {
  Connect();
  APTTYPE apartment = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  HRESULT apartment_result = E_FAIL;
  sink_.on_receive = [&] {
    if (apartment_result == E_FAIL) apartment_result = CoGetApartmentType(&apartment, &qualifier);
  };
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2));
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(S_OK, apartment_result);
  EXPECT_EQ(APTTYPE_MTA, apartment);
}

// The sink keeps the only buffer: the worker blocks in GetBuffer. Decommitting before
// the stop command releases it, so Stop returns.
TEST_F(SourceStreamTest, StopWhileTheWorkerWaitsForABuffer) {
  Connect();
  sink_.hold_samples = true;
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(1));
  HRESULT stopped = E_FAIL;
  ASSERT_TRUE(test::FinishesInTime([&] { stopped = filter_->Stop(); }));
  EXPECT_EQ(S_OK, stopped);
  EXPECT_EQ(1, sink_.receive_count());
  EXPECT_FALSE(stream_->HasWorker());
}

// While Stop holds the state lock and waits for the worker, a callback inside Receive
// (on that worker) asks the filter and pin what applications ask: none of it may wait
// for the state lock, or Stop and the worker would wait for each other forever.
TEST_F(SourceStreamTest, CallbacksInsideReceiveDoNotWaitForTheStateLock) {
  ASSERT_EQ(S_OK, filter_->JoinFilterGraph(&graph_, L"source"));
  Connect();
  platform::UniqueHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> armed{false};
  std::atomic<bool> saw_lock_held{false};
  HRESULT results[9] = {E_PENDING, E_PENDING, E_PENDING, E_PENDING, E_PENDING,
                        E_PENDING, E_PENDING, E_PENDING, E_PENDING};
  IPin* peer_seen = nullptr;
  IBaseFilter* base = filter_->base_filter();
  CRITICAL_SECTION* state_lock = filter_->state_lock()->native();
  sink_.on_receive = [&] {
    if (!armed.exchange(false)) return;
    ::SetEvent(entered.get());
    // Go on only once the stopping thread holds the state lock.
    saw_lock_held = BecomesTrue([&] {
      const auto owner = reinterpret_cast<DWORD_PTR>(state_lock->OwningThread);
      return owner != 0 && owner != ::GetCurrentThreadId();
    });
    platform::ComPtr<IEnumPins> pins;
    results[0] = base->EnumPins(pins.put());
    IPin* pin = nullptr;
    if (pins) {
      results[1] = pins->Next(1, &pin, nullptr);
      if (pin) pin->Release();
    }
    results[2] = base->FindPin(L"1", &pin);
    if (pin) pin->Release();
    FILTER_INFO info{};
    results[3] = base->QueryFilterInfo(&info);
    if (info.pGraph) info.pGraph->Release();
    platform::UniqueTaskMem<wchar_t> id;
    results[4] = stream_->QueryId(id.put());
    AM_MEDIA_TYPE type{};
    results[5] = stream_->ConnectionMediaType(&type);
    if (type.cbFormat) CoTaskMemFree(type.pbFormat);
    platform::ComPtr<IPin> peer;
    results[6] = stream_->ConnectedTo(peer.put());
    peer_seen = peer.get();
    PIN_INFO pin_info{};
    results[7] = stream_->QueryPinInfo(&pin_info);
    if (pin_info.pFilter) pin_info.pFilter->Release();
    FILTER_STATE state = State_Stopped;
    results[8] = base->GetState(0, &state);
  };
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2));
  armed = true;
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(entered.get(), kWaitMs));
  HRESULT stopped = E_PENDING;
  ASSERT_TRUE(test::FinishesInTime([&] { stopped = filter_->Stop(); }));
  EXPECT_EQ(S_OK, stopped);
  EXPECT_TRUE(saw_lock_held.load());
  for (HRESULT hr : results) EXPECT_EQ(S_OK, hr);
  EXPECT_EQ(static_cast<IPin*>(&sink_), peer_seen);
}

// A callback inside Receive stops the filter on the worker thread itself: the stop
// cannot wait for that worker, which ends by itself once the call returns.
TEST_F(SourceStreamTest, StopFromInsideTheWorkersCallOut) {
  Connect();
  std::atomic<bool> armed{false};
  std::atomic<HRESULT> stop_result{E_PENDING};
  sink_.on_receive = [&] {
    if (armed.exchange(false)) stop_result = filter_->Stop();
  };
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2));
  armed = true;
  ASSERT_TRUE(BecomesTrue([&] { return log_.thread_exits.load() == 1; }));
  EXPECT_EQ(S_OK, stop_result.load());
  FILTER_STATE state = State_Running;
  EXPECT_EQ(S_OK, filter_->GetState(0, &state));
  EXPECT_EQ(State_Stopped, state);

  // The next activation joins the ended worker and starts another.
  const LONG before = sink_.receive_count();
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(before + 3));
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(2, log_.thread_exits.load());
  ExpectFramesInOrder();
}

// Stopped from inside the downstream allocator's GetBuffer: the worker fills nothing
// more and ends, so the next activation can join it and start another.
TEST_F(SourceStreamTest, StopFromInsideGetBuffer) {
  platform::ComPtr<IMemAllocator> real;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   real.put_void()));
  test::ForwardingAllocator allocator(real.get());
  sink_.allocator = &allocator;
  // The allocator lives on this stack: let go of it here, also when a check fails.
  struct Disconnecter {
    TestSourceFilter* filter;
    StreamSink* sink;
    ~Disconnecter() {
      filter->Stop();
      filter->stream(0)->Disconnect();
      sink->allocator = nullptr;
    }
  } disconnecter{filter_, &sink_};
  Connect();
  std::atomic<bool> armed{false};
  std::atomic<LONG> fills_at_stop{-1};
  std::atomic<HRESULT> stop_result{E_PENDING};
  allocator.on_get_buffer = [&] {
    if (!armed.exchange(false)) return;
    fills_at_stop = log_.fills.load();
    stop_result = filter_->Stop();
  };
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2));
  armed = true;
  ASSERT_TRUE(BecomesTrue([&] { return log_.thread_exits.load() == 1; })) << "the stopped worker ended";
  EXPECT_EQ(S_OK, stop_result.load());
  EXPECT_EQ(fills_at_stop.load(), log_.fills.load()) << "no sample was filled after the stop";

  const LONG before = sink_.receive_count();
  HRESULT paused = E_PENDING;
  ASSERT_TRUE(test::FinishesInTime([&] { paused = filter_->Run(0); }));
  EXPECT_EQ(S_OK, paused);
  ASSERT_TRUE(sink_.WaitForReceives(before + 2));
  EXPECT_EQ(S_OK, filter_->Stop());
  EXPECT_EQ(2, log_.thread_exits.load());
}

// The sink drops the filter's last reference inside Receive, on the worker thread:
// the filter cannot wait for its own worker, and the worker must not touch the
// destroyed pin once Receive returns.
TEST_F(SourceStreamTest, FinalReleaseOnTheWorkerThread) {
  Connect();
  std::atomic<bool> armed{false};
  std::atomic<DWORD> worker_id{0};
  std::atomic<ULONG> released{99};
  IBaseFilter* last_reference = filter_->base_filter();
  sink_.on_receive = [&] {
    if (!armed.exchange(false)) return;
    worker_id = ::GetCurrentThreadId();
    released = last_reference->Release();
  };
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2));
  filter_ = nullptr;  // the sink owns the reference now
  armed = true;
  ASSERT_TRUE(BecomesTrue([&] { return released.load() != 99; }));
  EXPECT_EQ(0u, released.load());
  EXPECT_EQ(1, log_.filter_destroyed.load());

  // Wait for the worker itself to end, proving it came back out of Receive cleanly.
  platform::UniqueHandle worker(::OpenThread(SYNCHRONIZE, FALSE, worker_id.load()));
  if (worker) {
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(worker.get(), kWaitMs));
  }
  EXPECT_EQ(1, log_.thread_exits.load());
  EXPECT_LT(log_.last_exit_step.load(), log_.pin_destroyed_step.load());
  const LONG received = sink_.receive_count();
  EXPECT_EQ(static_cast<size_t>(received), sink_.frames().size());
}

TEST_F(SourceStreamTest, QueryIdIsTheOneBasedPosition) {
  platform::UniqueTaskMem<wchar_t> id;
  EXPECT_EQ(E_POINTER, stream_->QueryId(nullptr));
  ASSERT_EQ(S_OK, stream_->QueryId(id.put()));
  EXPECT_STREQ(L"1", id.get());

  HRESULT hr = S_OK;
  auto* second = new TestStream(&hr, filter_, &log_);
  ASSERT_EQ(S_OK, hr);
  ASSERT_EQ(S_OK, second->QueryId(id.put()));
  EXPECT_STREQ(L"2", id.get());

  // A pin not in its filter's list has no id.
  filter_->DetachPin(second);
  LPWSTR out = reinterpret_cast<LPWSTR>(0x1);
  EXPECT_EQ(VFW_E_NOT_FOUND, second->QueryId(&out));
  EXPECT_EQ(nullptr, out);
  ASSERT_EQ(S_OK, filter_->AttachPin(second));

  test::TaskMemFailureScope no_id(12 * sizeof(wchar_t));
  ASSERT_EQ(S_OK, no_id.registration());
  out = reinterpret_cast<LPWSTR>(0x1);
  EXPECT_EQ(E_OUTOFMEMORY, stream_->QueryId(&out));
  EXPECT_EQ(nullptr, out);
}

// A pin that keeps the framework's PreferredMediaType (which has no type to give).
class BareStream final : public TestStream {
 public:
  using TestStream::TestStream;
  HRESULT PreferredMediaType(CMediaTypeRecord* type) override { return CSourceStream::PreferredMediaType(type); }
};

TEST_F(SourceStreamTest, DefaultTypeHooks) {
  CMediaTypeRecord type;
  EXPECT_EQ(E_INVALIDARG, stream_->MediaTypeAt(-1, &type));
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, stream_->MediaTypeAt(1, &type));
  EXPECT_EQ(GUID_NULL, type.majortype);
  ASSERT_EQ(S_OK, stream_->MediaTypeAt(0, &type));
  AM_MEDIA_TYPE expected{};
  MakeFrameType(&expected);
  EXPECT_TRUE(test::MediaTypesEqual(expected, type));

  // Accepted: the same type; flags, sample size and pUnk are not compared.
  EXPECT_EQ(S_OK, stream_->ValidateMediaType(&type));
  type.bTemporalCompression = TRUE;
  type.lSampleSize = 5;
  EXPECT_EQ(S_OK, stream_->ValidateMediaType(&type));

  struct Change {
    const char* what;
    std::function<void(AM_MEDIA_TYPE*)> apply;
  };
  const Change refused[] = {
      {"major type", [](AM_MEDIA_TYPE* t) { t->majortype = MEDIATYPE_Audio; }},
      {"subtype", [](AM_MEDIA_TYPE* t) { t->subtype = MEDIASUBTYPE_YUY2; }},
      {"format type", [](AM_MEDIA_TYPE* t) { t->formattype = FORMAT_VideoInfo2; }},
      {"format length", [](AM_MEDIA_TYPE* t) { t->cbFormat -= 1; }},
      {"one format byte", [](AM_MEDIA_TYPE* t) { t->pbFormat[sizeof(RECT) * 2 + 40] ^= 1; }},
      {"missing format block", [](AM_MEDIA_TYPE* t) { t->pbFormat = nullptr; }},
  };
  for (const Change& change : refused) {
    AM_MEDIA_TYPE candidate = expected;
    std::vector<BYTE> bytes(expected.pbFormat, expected.pbFormat + expected.cbFormat);
    candidate.pbFormat = bytes.data();
    change.apply(&candidate);
    EXPECT_EQ(E_FAIL, stream_->ValidateMediaType(&candidate)) << change.what;
  }
  CoTaskMemFree(expected.pbFormat);

  HRESULT hr = S_OK;
  auto* bare = new BareStream(&hr, filter_, &log_);
  ASSERT_EQ(S_OK, hr);
  CMediaTypeRecord untouched;
  EXPECT_EQ(E_UNEXPECTED, bare->MediaTypeAt(0, &untouched));
  EXPECT_EQ(GUID_NULL, untouched.majortype);
  EXPECT_EQ(0u, untouched.cbFormat);
  EXPECT_EQ(E_FAIL, bare->ValidateMediaType(&type));
}

}  // namespace
}  // namespace veltrano::source_test
