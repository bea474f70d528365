// The camera against sinks that behave the way real capture applications' sinks do:
// no allocator of their own, QueryAccept always S_FALSE, odd or empty type lists, a
// shallow copy of the connection type, refusal of short samples, SetFormat before
// connecting, reconnecting after Stop. Also through Wine's own filter graph and
// capture graph builder with its sample grabber and null renderer.
#include <dshow.h>
#include <gtest/gtest.h>
#include <qedit.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "camera/capture_mode.h"
#include "camera/frame_pacer.h"
#include "camera_fixture.h"
#include "common/com_test_helpers.h"
#include "common/settled_value.h"
#include "common/task_mem_spy.h"
#include "framework/media_type_record.h"

namespace veltrano::test {
namespace {

constexpr LONG kFrameBytes = 1843200;
constexpr REFERENCE_TIME kPeriod = 333333;

AM_MEDIA_TYPE* StreamCapsType(IAMStreamConfig* config) {
  AM_MEDIA_TYPE* type = nullptr;
  BYTE caps[128];
  EXPECT_EQ(S_OK, config->GetStreamCaps(0, &type, caps));
  return type;
}

bool IsModeType(const AM_MEDIA_TYPE& type) {
  framework::CMediaTypeRecord mode;
  camera::BuildModeMediaType(camera::kDefaultCaptureMode, &mode);
  return MediaTypesEqual(mode, type);
}

using AppSinks = CameraFixture;

TEST_F(AppSinks, SinkWithoutAllocatorGetsTheCamerasOwnOneFrameAllocator) {
  ConnectSink();
  ASSERT_NE(nullptr, sink_.kept_allocator());
  ALLOCATOR_PROPERTIES granted = {};
  ASSERT_EQ(S_OK, sink_.kept_allocator()->GetProperties(&granted));
  EXPECT_EQ(1, granted.cBuffers);
  EXPECT_EQ(kFrameBytes, granted.cbBuffer);
  AM_MEDIA_TYPE connected = {};
  ASSERT_EQ(S_OK, pin_->ConnectionMediaType(&connected));
  EXPECT_TRUE(IsModeType(connected));
  framework::FreeMediaTypeContents(&connected);
}

TEST_F(AppSinks, TypeListsOfEveryKindEndInTheCamerasType) {
  for (SinkTypes kind : {SinkTypes::kNone, SinkTypes::kPartialVideo, SinkTypes::kOthersFirst}) {
    sink_.OfferTypes(kind);
    ASSERT_EQ(S_OK, pin_->Connect(static_cast<IPin*>(&sink_), nullptr)) << static_cast<int>(kind);
    EXPECT_TRUE(IsModeType(sink_.stored_type())) << static_cast<int>(kind);
    ASSERT_EQ(S_OK, pin_->Disconnect());
    ASSERT_EQ(S_OK, sink_.Disconnect());
  }
  // A partial type proposed by the application filters the candidates.
  AM_MEDIA_TYPE partial = {};
  partial.majortype = MEDIATYPE_Video;
  sink_.OfferTypes(SinkTypes::kPartialVideo);
  ASSERT_EQ(S_OK, pin_->Connect(static_cast<IPin*>(&sink_), &partial));
  EXPECT_TRUE(IsModeType(sink_.stored_type()));
}

TEST_F(AppSinks, QueryAcceptThatAlwaysRefusesDoesNotStopStreaming) {
  ConnectSink();
  ASSERT_EQ(S_FALSE, sink_.QueryAccept(nullptr));
  ASSERT_EQ(S_OK, filter_->Run(0));
  EXPECT_TRUE(sink_.WaitForReceives(5, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
}

// The sink refuses (S_FALSE) every sample shorter than a full frame, which would end
// streaming: every sample carries the whole 1843200-byte frame.
TEST_F(AppSinks, EverySampleCarriesAFullFrame) {
  ConnectSink();
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(12, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
  for (const auto& sample : sink_.received()) EXPECT_EQ(kFrameBytes, sample.length);
}

// The sink keeps only a shallow copy of the type it was given: that block must stay
// allocated and unchanged while connected, also after SetFormat replaced the pin's
// current type.
TEST_F(AppSinks, ShallowCopyOfTheConnectionTypeStaysValid) {
  ConnectSink();
  const AM_MEDIA_TYPE stored = sink_.stored_type();
  ASSERT_NE(nullptr, stored.pbFormat);
  TaskMemFreeTracker watch;
  ASSERT_EQ(S_OK, watch.registration());
  AM_MEDIA_TYPE* caps_type = StreamCapsType(stream_);
  ASSERT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(caps_type));
  DeleteMediaType(caps_type);
  EXPECT_FALSE(watch.WasFreed(stored.pbFormat));
  EXPECT_TRUE(IsModeType(sink_.stored_type()));

  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(2, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
  EXPECT_FALSE(watch.WasFreed(stored.pbFormat));
  EXPECT_TRUE(IsModeType(sink_.stored_type()));
}

TEST_F(AppSinks, SetFormatBeforeConnectingWithTheCapsTypeOrRewrittenSize) {
  IAMStreamConfig* config = stream_;
  AM_MEDIA_TYPE* type = StreamCapsType(config);
  ASSERT_EQ(S_OK, config->SetFormat(type));
  // Some applications write width and height into the type they got and leave the
  // rest alone.
  auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
  info->bmiHeader.biWidth = 1280;
  info->bmiHeader.biHeight = 720;
  info->bmiHeader.biSizeImage = 0;
  ASSERT_EQ(S_OK, config->SetFormat(type));
  ConnectSink();
  // The type the connection adopted: the sink's enumerator offers nothing, so the
  // camera's own mode type.
  AM_MEDIA_TYPE* current = nullptr;
  ASSERT_EQ(S_OK, config->GetFormat(&current));
  EXPECT_TRUE(IsModeType(*current));
  DeleteMediaType(current);
  DeleteMediaType(type);
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(3, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
}

TEST_F(AppSinks, DisconnectAfterStopAndConnectAgain) {
  for (int round = 0; round < 3; ++round) {
    ConnectSink();
    const size_t before = sink_.received().size();
    ASSERT_EQ(S_OK, filter_->Run(0));
    ASSERT_TRUE(sink_.WaitForReceives(before + 3, 5000)) << round;
    ASSERT_EQ(S_OK, filter_->Stop());
    const auto received = sink_.received();
    EXPECT_EQ(0, received[before].start) << round;
    EXPECT_TRUE(received[before].discontinuity) << round;
    ASSERT_EQ(S_OK, pin_->Disconnect());
    ASSERT_EQ(S_OK, sink_.Disconnect());
    EXPECT_EQ(S_FALSE, pin_->Disconnect());
  }
}

// ---- Wine's graph -----------------------------------------------------------------------

class WineGraph : public CameraFixture {
 protected:
  void SetUp() override {
    CameraFixture::SetUp();
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     graph_builder_.put_void()));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     grabber_filter_.put_void()));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     renderer_.put_void()));
    ASSERT_EQ(S_OK, grabber_filter_.As(&grabber_));
    AM_MEDIA_TYPE wanted = {};
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_YUY2;
    ASSERT_EQ(S_OK, grabber_->SetMediaType(&wanted));
    ASSERT_EQ(S_OK, grabber_->SetCallback(&callback_, 0));
    ASSERT_EQ(S_OK, graph_builder_->AddFilter(filter_.get(), L"Veltrano Virtual Camera"));
    ASSERT_EQ(S_OK, graph_builder_->AddFilter(grabber_filter_.get(), L"Grabber"));
    ASSERT_EQ(S_OK, graph_builder_->AddFilter(renderer_.get(), L"Renderer"));
  }

  void TearDown() override {
    if (graph_builder_) {
      platform::ComPtr<IMediaControl> control;
      if (SUCCEEDED(graph_builder_.As(&control))) control->Stop();
      // Removing the filters disconnects them and lets go of the graph's references.
      graph_builder_->RemoveFilter(renderer_.get());
      graph_builder_->RemoveFilter(grabber_filter_.get());
      graph_builder_->RemoveFilter(filter_.get());
    }
    grabber_.reset();
    grabber_filter_.reset();
    renderer_.reset();
    graph_builder_.reset();
    CameraFixture::TearDown();
  }

  // Camera -> grabber -> null renderer, each link made directly.
  void ConnectChain() {
    platform::ComPtr<IPin> grabber_in;
    grabber_in.attach(FirstPin(grabber_filter_.get(), PINDIR_INPUT));
    platform::ComPtr<IPin> grabber_out;
    grabber_out.attach(FirstPin(grabber_filter_.get(), PINDIR_OUTPUT));
    platform::ComPtr<IPin> renderer_in;
    renderer_in.attach(FirstPin(renderer_.get(), PINDIR_INPUT));
    ASSERT_TRUE(grabber_in && grabber_out && renderer_in);
    ASSERT_EQ(S_OK, graph_builder_->ConnectDirect(pin_, grabber_in.get(), nullptr));
    ASSERT_EQ(S_OK, graph_builder_->ConnectDirect(grabber_out.get(), renderer_in.get(), nullptr));
  }

  IPin* FirstPin(IBaseFilter* filter, PIN_DIRECTION direction) {
    platform::ComPtr<IEnumPins> pins;
    EXPECT_EQ(S_OK, filter->EnumPins(pins.put()));
    IPin* pin = nullptr;
    while (pins && pins->Next(1, &pin, nullptr) == S_OK) {
      PIN_DIRECTION found;
      pin->QueryDirection(&found);
      if (found == direction) return pin;
      pin->Release();
    }
    return nullptr;
  }

  // Runs the graph until `samples` have passed the grabber; prints the spacing.
  void RunFor(size_t samples, const char* label) {
    platform::ComPtr<IMediaControl> control;
    ASSERT_EQ(S_OK, graph_builder_.As(&control));
    const HRESULT run = control->Run();
    ASSERT_TRUE(run == S_OK || run == S_FALSE) << std::hex << run;
    EXPECT_TRUE(callback_.samples.WaitForReceives(samples, 10000))
        << callback_.samples.receive_count() << " samples";
    ASSERT_EQ(S_OK, control->Stop());
    const auto received = callback_.samples.received();
    // Start times on the frame grid from stream time 0 (a late sample may skip a grid
    // point), strictly increasing.
    EXPECT_EQ(0, received[0].start);
    for (size_t i = 0; i < received.size(); ++i) {
      EXPECT_EQ(kFrameBytes, received[i].length) << i;
      EXPECT_EQ(0, received[i].start % kPeriod) << i;
      if (i > 0) {
        EXPECT_GT(received[i].start, received[i - 1].start) << i;
      }
    }
    std::vector<double> intervals;
    for (size_t i = 1; i < received.size(); ++i) {
      intervals.push_back(static_cast<double>(received[i].real_time - received[i - 1].real_time) / 10000.0);
    }
    ASSERT_FALSE(intervals.empty());
    std::vector<double> sorted = intervals;
    std::sort(sorted.begin(), sorted.end());
    const double total = (received.back().real_time - received.front().real_time) / 10000.0;
    std::printf("[ figures  ] %s: %zu samples, median interval %.1f ms, min %.1f ms, max %.1f ms, %.1f samples/s\n",
                label, received.size(), sorted[sorted.size() / 2], sorted.front(), sorted.back(),
                1000.0 * intervals.size() / total);
    // Never faster than the frame rate (n - 4 periods for n intervals, see the delivery
    // tests); slowness is only printed, a loaded machine must not fail here.
    EXPECT_GE(received.back().real_time - received.front().real_time,
              (static_cast<REFERENCE_TIME>(intervals.size()) - 4) * kPeriod);
  }

  platform::ComPtr<IGraphBuilder> graph_builder_;
  platform::ComPtr<IBaseFilter> grabber_filter_;
  platform::ComPtr<ISampleGrabber> grabber_;
  platform::ComPtr<IBaseFilter> renderer_;
  GrabberCallback callback_;
};

// Wine's graph sets its clock, pauses, then runs 200 ms ahead: the rate must hold.
TEST_F(WineGraph, ConnectDirectAndRun) {
  IPin* grabber_in = FirstPin(grabber_filter_.get(), PINDIR_INPUT);
  IPin* grabber_out = FirstPin(grabber_filter_.get(), PINDIR_OUTPUT);
  IPin* renderer_in = FirstPin(renderer_.get(), PINDIR_INPUT);
  ASSERT_TRUE(grabber_in && grabber_out && renderer_in);
  EXPECT_EQ(S_OK, graph_builder_->ConnectDirect(pin_, grabber_in, nullptr));
  EXPECT_EQ(S_OK, graph_builder_->ConnectDirect(grabber_out, renderer_in, nullptr));
  grabber_in->Release();
  grabber_out->Release();
  renderer_in->Release();
  RunFor(40, "Wine graph, ConnectDirect");
}

// A live source in Wine's real graph: nothing while paused (and the graph does not
// wait for a preroll sample), then, after Run, samples at the format's rate whose
// start times are the stream time at which they arrive; Pause and Run again, with
// the times going on from where they stopped.
TEST_F(WineGraph, PausedDeliversNothingAndRunsOnTheGraphsClock) {
  ConnectChain();
  platform::ComPtr<IMediaControl> control;
  ASSERT_EQ(S_OK, graph_builder_.As(&control));
  std::vector<size_t> run_starts;
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    const HRESULT paused = control->Pause();
    // Wine's graph answers S_FALSE while its renderer waits for a preroll sample.
    ASSERT_TRUE(paused == S_OK || paused == S_FALSE) << std::hex << paused;
    OAFilterState state = State_Stopped;
    EXPECT_EQ(VFW_S_CANT_CUE, control->GetState(500, &state));
    EXPECT_EQ(State_Paused, state);
    // A sample handed over just before the pause may still reach the grabber, the one
    // sample that can.
    const size_t at_pause = callback_.samples.received().size();
    const auto settled = static_cast<size_t>(
        test::SettledValue([&] { return static_cast<LONG>(callback_.samples.received().size()); }, 100));
    EXPECT_LE(settled, at_pause + 1);
    EXPECT_FALSE(callback_.samples.WaitForReceives(static_cast<LONG>(settled) + 1, cycle == 0 ? 2000 : 700))
        << "a sample in Paused";
    if (cycle == 0) {
      EXPECT_EQ(0u, settled);
    }
    run_starts.push_back(settled);
    const HRESULT run = control->Run();
    ASSERT_TRUE(run == S_OK || run == S_FALSE) << std::hex << run;
    ASSERT_TRUE(callback_.samples.WaitForReceives(static_cast<LONG>(settled) + 40, 10000));
  }
  // The stream time against this process's real-time counter, read back to back.
  REFERENCE_TIME offset = 0;
  int64_t best = INT64_MAX;
  for (int i = 0; i < 20; ++i) {
    const int64_t before = camera::QueryRealTime();
    REFERENCE_TIME stream_time = 0;
    ASSERT_EQ(S_OK, camera_->GetStreamTime(&stream_time));
    const int64_t after = camera::QueryRealTime();
    if (after - before < best) {
      best = after - before;
      offset = stream_time - (before + after) / 2;
    }
  }
  ASSERT_EQ(S_OK, control->Stop());
  const auto received = callback_.samples.received();
  std::vector<double> lags;
  for (size_t i = 0; i < received.size(); ++i) {
    SCOPED_TRACE(i);
    const bool first_of_run = std::find(run_starts.begin(), run_starts.end(), i) != run_starts.end();
    EXPECT_EQ(first_of_run, received[i].discontinuity);
    EXPECT_EQ(received[i].start + kPeriod, received[i].end);
    if (i > 0) {
      EXPECT_GT(received[i].start, received[i - 1].start);
    }
    // Wine's system clock counts whole milliseconds: allow one.
    const REFERENCE_TIME lag = received[i].real_time + offset - received[i].start;
    if (i >= run_starts.back()) {
      EXPECT_GT(lag, -10000) << "a start time ahead of the stream time";
      lags.push_back(static_cast<double>(lag) / 10000.0);
    }
  }
  EXPECT_EQ(0, received[0].start);
  std::sort(lags.begin(), lags.end());
  std::printf("[ figures  ] Wine graph, last run: stream time at the grabber minus start time: median %.2f ms, "
              "max %.2f ms\n", lags[lags.size() / 2], lags.back());
  EXPECT_LT(lags[lags.size() / 2], 33.3) << "start times far behind the stream time";
  const std::vector<FakeInputPin::Received> last(received.begin() + run_starts.back(), received.end());
  const double seconds = (last.back().real_time - last.front().real_time) / 1e7;
  std::printf("[ figures  ] Wine graph, last run: %zu samples, %.2f samples/s\n", last.size(),
              (last.size() - 1) / seconds);
  EXPECT_GE(last.back().real_time - last.front().real_time, (static_cast<REFERENCE_TIME>(last.size()) - 5) * kPeriod);
}

// SetFormat on the connected pin of a stopped graph: the graph is asked to reconnect
// it (outside the camera's state lock), and the stream runs afterwards.
TEST_F(WineGraph, SetFormatWhileConnectedThenRun) {
  IPin* grabber_in = FirstPin(grabber_filter_.get(), PINDIR_INPUT);
  IPin* grabber_out = FirstPin(grabber_filter_.get(), PINDIR_OUTPUT);
  IPin* renderer_in = FirstPin(renderer_.get(), PINDIR_INPUT);
  ASSERT_TRUE(grabber_in && grabber_out && renderer_in);
  EXPECT_EQ(S_OK, graph_builder_->ConnectDirect(pin_, grabber_in, nullptr));
  EXPECT_EQ(S_OK, graph_builder_->ConnectDirect(grabber_out, renderer_in, nullptr));
  AM_MEDIA_TYPE* type = StreamCapsType(stream_);
  EXPECT_EQ(S_OK, static_cast<IAMStreamConfig*>(stream_)->SetFormat(type));
  DeleteMediaType(type);
  platform::ComPtr<IPin> peer;
  EXPECT_EQ(S_OK, pin_->ConnectedTo(peer.put()));
  EXPECT_EQ(grabber_in, peer.get());
  grabber_in->Release();
  grabber_out->Release();
  renderer_in->Release();
  RunFor(20, "Wine graph after SetFormat");
}

// Applications find the stream configuration through the builder, set the format,
// and render from the pin: a direct connection.
TEST_F(WineGraph, CaptureGraphBuilderFromThePin) {
  platform::ComPtr<ICaptureGraphBuilder2> builder;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICaptureGraphBuilder2, builder.put_void()));
  ASSERT_EQ(S_OK, builder->SetFiltergraph(graph_builder_.get()));
  platform::ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(S_OK, builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter_.get(),
                                         IID_IAMStreamConfig, config.put_void()));
  EXPECT_EQ(static_cast<IAMStreamConfig*>(stream_), config.get());
  AM_MEDIA_TYPE* type = StreamCapsType(config.get());
  ASSERT_EQ(S_OK, config->SetFormat(type));
  DeleteMediaType(type);
  ASSERT_EQ(S_OK, builder->RenderStream(nullptr, &MEDIATYPE_Video, pin_, grabber_filter_.get(), renderer_.get()));
  RunFor(40, "Wine capture graph builder, from the pin");
}

// The capture category makes the builder put a Smart Tee behind the pin. The graph is
// only built here: Wine's tee takes a second buffer from the upstream allocator for
// every sample (Windows' copies nothing), so with the camera's one buffer it would
// wait forever once running. Streaming through it is tried, in a process of its own,
// by the end-to-end tests.
TEST_F(WineGraph, CaptureGraphBuilderWithTheCaptureCategoryPutsASmartTeeBehindThePin) {
  platform::ComPtr<ICaptureGraphBuilder2> builder;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICaptureGraphBuilder2, builder.put_void()));
  ASSERT_EQ(S_OK, builder->SetFiltergraph(graph_builder_.get()));
  ASSERT_EQ(S_OK, builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter_.get(), grabber_filter_.get(),
                                        renderer_.get()));
  platform::ComPtr<IPin> peer;
  ASSERT_EQ(S_OK, pin_->ConnectedTo(peer.put()));
  PIN_INFO info = {};
  ASSERT_EQ(S_OK, peer->QueryPinInfo(&info));
  ASSERT_NE(nullptr, info.pFilter);
  CLSID clsid = GUID_NULL;
  EXPECT_EQ(S_OK, info.pFilter->GetClassID(&clsid));
  info.pFilter->Release();
  EXPECT_EQ(CLSID_SmartTee, clsid);

  AM_MEDIA_TYPE type = {};
  ASSERT_EQ(S_OK, pin_->ConnectionMediaType(&type));
  EXPECT_EQ(MEDIASUBTYPE_YUY2, type.subtype);
  ASSERT_EQ(FORMAT_VideoInfo, type.formattype);
  EXPECT_EQ(1843200u, reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader.biSizeImage);
  framework::FreeMediaTypeContents(&type);
}

}  // namespace
}  // namespace veltrano::test
