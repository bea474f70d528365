// Samples delivered by the camera to a sink, against a clock the test controls: nothing
// while paused, Wine's run 200 ms ahead, a clock that jumps or stops, no clock, and
// both pacing waits. Start times are checked against the stream
// time at which each sample arrived; figures are printed, and the only timing checks
// are ones a slow or loaded machine cannot fail: the samples never leave faster than
// the frame rate, and never carry a time more than an interval ahead of the clock.
#include <dshow.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "VeltranoVirtualCamera.h"
#include "camera_fixture.h"
#include "channel/frame_section_layout.h"
#include "common/settled_value.h"
#include "platform/unique_handle.h"

namespace veltrano::test {
namespace {

constexpr REFERENCE_TIME kPeriod = 333333;
constexpr REFERENCE_TIME kMs = 10000;

struct Spacing {
  double median_ms;
  double min_ms;
  double max_ms;
  double per_second;
};

// Arrival spacing of the samples from index `first` on.
Spacing Measure(const std::vector<FakeInputPin::Received>& samples, size_t first, const char* label) {
  std::vector<double> intervals;
  for (size_t i = first + 1; i < samples.size(); ++i) {
    intervals.push_back(static_cast<double>(samples[i].real_time - samples[i - 1].real_time) / kMs);
  }
  if (intervals.empty()) return {0, 0, 0, 0};
  std::vector<double> sorted = intervals;
  std::sort(sorted.begin(), sorted.end());
  double total = 0;
  for (double interval : intervals) total += interval;
  const Spacing spacing{sorted[sorted.size() / 2], sorted.front(), sorted.back(), 1000.0 * intervals.size() / total};
  std::printf("[ figures  ] %s: %zu intervals, median %.2f ms, min %.2f ms, max %.2f ms, %.2f samples/s\n", label,
              intervals.size(), spacing.median_ms, spacing.min_ms, spacing.max_ms, spacing.per_second);
  return spacing;
}

// From sample `first` on, n intervals take at least n - 4 periods: a late sample may
// be caught up and a grid restart may shorten one wait, but a pin that did not wait,
// or waited half a period, fails. Slowness never does.
void ExpectNoFasterThanTheFrameRate(const std::vector<FakeInputPin::Received>& samples, size_t first) {
  ASSERT_LT(first + 8, samples.size());
  const auto intervals = static_cast<REFERENCE_TIME>(samples.size() - 1 - first);
  const REFERENCE_TIME elapsed = samples.back().real_time - samples[first].real_time;
  EXPECT_GE(elapsed, (intervals - 4) * kPeriod) << intervals << " intervals";
}

// Times one interval long, strictly increasing, on one grid; a discontinuity exactly
// at the first sample and at each index in `restarts`, where the grid may start anew.
void ExpectGridTimes(const std::vector<FakeInputPin::Received>& samples, std::vector<size_t> restarts = {}) {
  restarts.push_back(0);
  for (size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE(i);
    const bool restart = std::find(restarts.begin(), restarts.end(), i) != restarts.end();
    EXPECT_EQ(samples[i].start + kPeriod, samples[i].end);
    EXPECT_EQ(restart, samples[i].discontinuity);
    EXPECT_EQ(1843200, samples[i].length);
    if (i > 0 && !restart) {
      EXPECT_GT(samples[i].start, samples[i - 1].start);
      EXPECT_EQ(0, (samples[i].start - samples[i - 1].start) % kPeriod);
    }
  }
}

class FrameDelivery : public CameraFixture {
 protected:
  void SetUp() override {
    CameraFixture::SetUp();
    ConnectSink();
  }
  // The fake clock's stream time when a sample arrived, for a filter run from `start`.
  REFERENCE_TIME StreamTimeAtArrival(const FakeInputPin::Received& sample, REFERENCE_TIME start) const {
    return clock_.AtRealTime(sample.real_time) - start;
  }
  // Each sample from `first` on carries a start time no later than an interval after
  // the stream time at its arrival; returns the median lag (stream time - start).
  double ExpectTimesMatchTheClock(const std::vector<FakeInputPin::Received>& samples, size_t first,
                                  REFERENCE_TIME run_start, const char* label) {
    std::vector<double> lags;
    for (size_t i = first; i < samples.size(); ++i) {
      const REFERENCE_TIME lag = StreamTimeAtArrival(samples[i], run_start) - samples[i].start;
      EXPECT_GT(lag, -kPeriod) << "sample " << i << " is ahead of the clock";
      lags.push_back(static_cast<double>(lag) / kMs);
    }
    std::sort(lags.begin(), lags.end());
    std::printf("[ figures  ] %s: stream time at arrival minus start time: median %.2f ms, max %.2f ms\n", label,
                lags[lags.size() / 2], lags.back());
    return lags[lags.size() / 2];
  }
};

// Wine's graph: SetSyncSource, Pause, then Run with a start time 200 ms ahead. Nothing
// leaves in Paused; after Run the first sample waits for stream time 0.
TEST_F(FrameDelivery, NothingWhilePausedThenTimesFromStreamTimeZero) {
  ASSERT_EQ(S_OK, filter_->SetSyncSource(&clock_));
  ASSERT_EQ(S_OK, filter_->Pause());
  EXPECT_FALSE(sink_.WaitForReceives(1, 500)) << "a sample in Paused";
  const REFERENCE_TIME run_start = clock_.Now() + 200 * kMs;
  ASSERT_EQ(S_OK, filter_->Run(run_start));
  ASSERT_TRUE(sink_.WaitForReceives(45, 10000));
  ASSERT_EQ(S_OK, filter_->Stop());
  const auto samples = sink_.received();
  EXPECT_EQ(0, samples[0].start);
  EXPECT_GE(StreamTimeAtArrival(samples[0], run_start), 0);
  Measure(samples, 0, "pause, then run 200 ms ahead");
  ExpectNoFasterThanTheFrameRate(samples, 0);
  ExpectGridTimes(samples);
  ExpectTimesMatchTheClock(samples, 0, run_start, "pause, then run 200 ms ahead");
}

// A paused camera holds no view of the frame section, also while a renderer that
// prerolls holds its worker inside Receive for the whole pause: a host that closes
// meanwhile leaves nothing behind, and can come back with a larger frame at once.
TEST_F(FrameDelivery, APausedCameraHoldsNoSection) {
  platform::UniqueHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  platform::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> hold{false};
  sink_.on_receive = [&] {
    if (!hold.exchange(false)) return;
    ::SetEvent(entered.get());
    ::WaitForSingleObject(release.get(), 10000);
  };
  // A held Receive is let go whatever happens below, before the fixture stops the filter.
  struct Releaser {
    HANDLE event;
    ~Releaser() { ::SetEvent(event); }
  } releaser{release.get()};
  ASSERT_EQ(S_OK, filter_->SetSyncSource(&clock_));
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "worker held in Receive" : "worker free");
    VeltranoVirtualCameraProducer* producer = VeltranoVirtualCamera_CreateProducer(640, 480, 1280, 0xF00D);
    ASSERT_NE(nullptr, producer);
    const std::vector<uint8_t> frame(640 * 480 * 2, 0x50);
    ASSERT_EQ(1, VeltranoVirtualCamera_WriteFrame(producer, frame.data(), 640 * 480 * 2, 0));
    ASSERT_EQ(S_OK, filter_->Run(clock_.Now()));
    ASSERT_TRUE(sink_.WaitForReceives(sink_.receive_count() + 3, 5000));
    EXPECT_TRUE(stream_->HasSectionView());
    if (held) {
      ::ResetEvent(release.get());
      hold = true;
      ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(entered.get(), 10000));
    }
    ASSERT_EQ(S_OK, filter_->Pause());
    for (int i = 0; i < 100 && stream_->HasSectionView(); ++i) ::Sleep(10);
    EXPECT_FALSE(stream_->HasSectionView());
    VeltranoVirtualCamera_CloseProducer(producer);
    HANDLE section = ::OpenFileMappingW(FILE_MAP_READ, FALSE, channel::kFrameSectionName);
    EXPECT_EQ(nullptr, section) << "the closed section outlived its producer";
    if (section) ::CloseHandle(section);
    ::SetEvent(release.get());
    ASSERT_EQ(S_OK, filter_->Stop());
  }
}

TEST_F(FrameDelivery, ClockJumpingForwardAndBackKeepsTheFrameRate) {
  ASSERT_EQ(S_OK, filter_->SetSyncSource(&clock_));
  // Stream time far above 0, so that the jump back stays above it.
  ASSERT_EQ(S_OK, filter_->Run(clock_.Now() - 100'000 * kMs));
  ASSERT_TRUE(sink_.WaitForReceives(10, 5000));
  clock_.Jump(1000 * kMs);
  ASSERT_TRUE(sink_.WaitForReceives(20, 5000));
  clock_.Jump(-3000 * kMs);
  ASSERT_TRUE(sink_.WaitForReceives(35, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
  const auto samples = sink_.received();
  Measure(samples, 0, "clock jumping +1 s and -3 s");
  ExpectNoFasterThanTheFrameRate(samples, 0);
  size_t discontinuities = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i].discontinuity) {
      ++discontinuities;  // the jump back: the one place times go back
      EXPECT_LT(samples[i].start, samples[i - 1].start) << i;
    } else {
      EXPECT_GT(samples[i].start, samples[i - 1].start) << i;
    }
  }
  EXPECT_EQ(1u, discontinuities);
}

TEST_F(FrameDelivery, StoppedClockHoldsEachSampleAboutOnePeriod) {
  ASSERT_EQ(S_OK, filter_->SetSyncSource(&clock_));
  ASSERT_EQ(S_OK, filter_->Run(clock_.Now()));
  ASSERT_TRUE(sink_.WaitForReceives(5, 5000));
  clock_.Freeze();
  const size_t at_freeze = sink_.received().size();
  ASSERT_TRUE(sink_.WaitForReceives(at_freeze + 30, 10000));
  ASSERT_EQ(S_OK, filter_->Stop());
  const auto samples = sink_.received();
  // The 30 samples arriving within the bounded wait above show that a stopped clock
  // holds no sample for good.
  Measure(samples, at_freeze, "stopped clock");
  ExpectNoFasterThanTheFrameRate(samples, at_freeze);
  ExpectGridTimes(samples);
}

TEST_F(FrameDelivery, WithoutAClockTimesComeFromRealTimeSinceRun) {
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(20, 5000));
  ASSERT_EQ(S_OK, filter_->Pause());
  // A sample handed over just before the pause may still arrive.
  const LONG at_pause = test::SettledValue([&] { return sink_.receive_count(); }, 100);
  EXPECT_FALSE(sink_.WaitForReceives(at_pause + 1, 300));
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(at_pause + 10, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
  const auto samples = sink_.received();
  Measure(samples, 0, "no clock");
  ExpectNoFasterThanTheFrameRate(samples, 0);
  EXPECT_EQ(0, samples[0].start);
  // The times go on from the end of the last sample before the pause, or one interval
  // later: a sample already stamped when the Pause came is dropped, and its time with it.
  const REFERENCE_TIME resumed = samples[at_pause].start;
  const REFERENCE_TIME last_end = samples[at_pause - 1].end;
  EXPECT_TRUE(resumed == last_end || resumed == last_end + kPeriod) << resumed << " after " << last_end;
  ExpectGridTimes(samples, {static_cast<size_t>(at_pause)});
}

// Both pacing waits on the running system: the high-resolution timer and the timed
// wait that systems without one get. Figures only; both keep the rate.
TEST_F(FrameDelivery, BothPacingWaitsKeepTheRate) {
  ASSERT_EQ(S_OK, filter_->SetSyncSource(&clock_));
  for (bool high_resolution : {true, false}) {
    SCOPED_TRACE(high_resolution);
    stream_->AllowHighResolutionTimer(high_resolution);
    const size_t first = sink_.received().size();
    const REFERENCE_TIME run_start = clock_.Now();
    ASSERT_EQ(S_OK, filter_->Run(run_start));
    // Wine accepts the flag; a system that refused it would pace with timed waits.
    std::printf("[ figures  ] high-resolution timer %s, in use: %s\n", high_resolution ? "allowed" : "not allowed",
                stream_->PacesWithHighResolutionTimer() ? "yes" : "no");
    if (!high_resolution) {
      EXPECT_FALSE(stream_->PacesWithHighResolutionTimer());
    }
    ASSERT_TRUE(sink_.WaitForReceives(first + 61, 10000));
    ASSERT_EQ(S_OK, filter_->Stop());
    const auto samples = sink_.received();
    const std::vector<FakeInputPin::Received> run(samples.begin() + first, samples.end());
    const char* label = high_resolution ? "high-resolution timer" : "timed wait";
    Measure(run, 0, label);
    ExpectNoFasterThanTheFrameRate(run, 0);
    ExpectTimesMatchTheClock(run, 0, run_start, label);
  }
}

}  // namespace
}  // namespace veltrano::test
