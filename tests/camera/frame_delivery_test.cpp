// Samples delivered by the running filter to a sink, paced against a clock the test
// controls: Wine's pause-then-run-ahead sequence, a clock that jumps, a clock that
// stops, and no clock. Exact stamps are checked; the arrival times are printed, and
// the only timing check is one a slow or loaded machine cannot fail: the samples never
// leave faster than the frame rate.
#include <dshow.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "camera_fixture.h"

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
  std::printf("[ figures  ] %s: %zu intervals, median %.1f ms, min %.1f ms, max %.1f ms, %.1f samples/s\n", label,
              intervals.size(), spacing.median_ms, spacing.min_ms, spacing.max_ms, spacing.per_second);
  return spacing;
}

// From sample `first` on, n intervals take at least n - 4 periods: a late sample may
// be caught up within the pacing slack and each offset re-take may shorten one wait,
// but a pin that did not wait, or waited half a period, fails. Slowness never does.
void ExpectNoFasterThanTheFrameRate(const std::vector<FakeInputPin::Received>& samples, size_t first) {
  ASSERT_LT(first + 8, samples.size());
  const auto intervals = static_cast<REFERENCE_TIME>(samples.size() - 1 - first);
  const REFERENCE_TIME elapsed = samples.back().real_time - samples[first].real_time;
  EXPECT_GE(elapsed, (intervals - 4) * kPeriod) << intervals << " intervals";
}

// Start times 0, P, 2P, ... across the whole run, and one discontinuity at the start.
void ExpectRunningStamps(const std::vector<FakeInputPin::Received>& samples) {
  for (size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(static_cast<REFERENCE_TIME>(i) * kPeriod, samples[i].start) << i;
    EXPECT_EQ(samples[i].start + kPeriod, samples[i].end) << i;
    EXPECT_EQ(i == 0, samples[i].discontinuity) << i;
    EXPECT_EQ(1843200, samples[i].length) << i;
  }
}

class FrameDelivery : public CameraFixture {
 protected:
  void SetUp() override {
    CameraFixture::SetUp();
    ConnectSink();
  }
};

// Wine's graph: SetSyncSource, Pause (samples flow, stream time is the clock's time),
// then Run with a start time 200 ms ahead, so stream time drops below zero.
TEST_F(FrameDelivery, PauseThenRunAheadKeepsTheFrameRate) {
  ASSERT_EQ(S_OK, filter_->SetSyncSource(&clock_));
  ASSERT_EQ(S_OK, filter_->Pause());
  ASSERT_TRUE(sink_.WaitForReceives(8, 5000));
  const size_t at_run = sink_.received().size();
  ASSERT_EQ(S_OK, filter_->Run(clock_.Now() + 200 * kMs));
  ASSERT_TRUE(sink_.WaitForReceives(at_run + 45, 10000));
  ASSERT_EQ(S_OK, filter_->Stop());
  const auto samples = sink_.received();
  Measure(samples, at_run - 1, "pause, then run 200 ms ahead");
  ExpectNoFasterThanTheFrameRate(samples, at_run - 1);
  ExpectRunningStamps(samples);
}

TEST_F(FrameDelivery, ClockJumpingForwardAndBackKeepsTheFrameRate) {
  ASSERT_EQ(S_OK, filter_->SetSyncSource(&clock_));
  ASSERT_EQ(S_OK, filter_->Run(clock_.Now()));
  ASSERT_TRUE(sink_.WaitForReceives(10, 5000));
  clock_.Jump(1000 * kMs);
  ASSERT_TRUE(sink_.WaitForReceives(20, 5000));
  clock_.Jump(-3000 * kMs);
  ASSERT_TRUE(sink_.WaitForReceives(35, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
  const auto samples = sink_.received();
  Measure(samples, 0, "clock jumping +1 s and -3 s");
  ExpectNoFasterThanTheFrameRate(samples, 0);
  ExpectRunningStamps(samples);
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
  ExpectRunningStamps(samples);
}

TEST_F(FrameDelivery, WithoutAClockEachSampleSleepsOnePeriod) {
  ASSERT_EQ(S_OK, filter_->Run(0));
  ASSERT_TRUE(sink_.WaitForReceives(20, 5000));
  ASSERT_EQ(S_OK, filter_->Stop());
  const auto samples = sink_.received();
  Measure(samples, 0, "no clock");
  ExpectNoFasterThanTheFrameRate(samples, 0);
  ExpectRunningStamps(samples);
}

}  // namespace
}  // namespace veltrano::test
