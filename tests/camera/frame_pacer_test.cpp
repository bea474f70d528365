// Pacing arithmetic against a simulated clock: real time advances only when the pacer
// sleeps (or the test says the sample took time), and the stream clock follows it at
// a rate the test sets, jumps when told, or stands still. Deterministic; no real time.
#include "camera/frame_pacer.h"

#include <dshow.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace veltrano::camera {
namespace {

constexpr REFERENCE_TIME kPeriod = 333333;
constexpr REFERENCE_TIME kMs = 10000;

class SimulatedSource final : public PacingSource {
 public:
  HRESULT StreamTime(REFERENCE_TIME* out) noexcept override {
    if (!has_clock) return VFW_E_NO_CLOCK;
    *out = stream_time;
    return S_OK;
  }
  int64_t RealTime() noexcept override { return real_time; }
  void SleepMilliseconds(DWORD milliseconds) noexcept override {
    sleeps.push_back(milliseconds);
    Advance(milliseconds * kMs);
  }
  //! Time passes: real time always, the stream clock at its rate. A scheduled jump
  //! happens when real time reaches it.
  void Advance(int64_t duration) noexcept {
    real_time += duration;
    stream_time += clock_running ? duration : 0;
    if (jump_at != 0 && real_time >= jump_at) {
      stream_time += jump;
      jump_at = 0;
    }
  }

  bool has_clock = true;
  bool clock_running = true;
  int64_t jump_at = 0;  // real time of a scheduled clock jump, 0 for none
  REFERENCE_TIME jump = 0;
  int64_t real_time = 5'000'000'000;
  REFERENCE_TIME stream_time = 77'000'000;
  std::vector<DWORD> sleeps;
};

// Paces `count` samples at kPeriod from start time `first_start`, each taking
// `work` of real time before its wait; returns the real time each one was released.
std::vector<int64_t> PaceSamples(FramePacer& pacer, SimulatedSource& source, int count, REFERENCE_TIME first_index = 0,
                                 int64_t work = 2 * kMs) {
  std::vector<int64_t> releases;
  for (int i = 0; i < count; ++i) {
    source.Advance(work);
    pacer.Pace((first_index + i) * kPeriod, kPeriod, source);
    releases.push_back(source.real_time);
  }
  return releases;
}

std::vector<int64_t> Intervals(const std::vector<int64_t>& releases) {
  std::vector<int64_t> intervals;
  for (size_t i = 1; i < releases.size(); ++i) intervals.push_back(releases[i] - releases[i - 1]);
  return intervals;
}

// Every interval one period apart, within the 1 ms sleep granularity, plus the 2 ms a
// sample takes where the wait is measured from the end of that work (a re-take, a
// stopped clock).
void ExpectEvenlySpaced(const std::vector<int64_t>& intervals) {
  for (size_t i = 0; i < intervals.size(); ++i) {
    EXPECT_GE(intervals[i], kPeriod - kMs) << "interval " << i;
    EXPECT_LE(intervals[i], kPeriod + 3 * kMs) << "interval " << i;
  }
}

TEST(FramePacer, FirstSampleIsDueAtOnceThenOnePeriodApart) {
  SimulatedSource source;
  FramePacer pacer;
  source.Advance(0);
  pacer.Pace(0, kPeriod, source);
  EXPECT_TRUE(source.sleeps.empty());
  EXPECT_TRUE(pacer.offset_known());
  EXPECT_EQ(77'000'000, pacer.offset());

  const auto releases = PaceSamples(pacer, source, 30, 1);
  ExpectEvenlySpaced(Intervals(releases));
  // Sample j leaves when the clock reaches the first sample's time plus j periods.
  EXPECT_GE(source.stream_time, 77'000'000 + 30 * kPeriod);
  EXPECT_LT(source.stream_time, 77'000'000 + 30 * kPeriod + kMs);
  EXPECT_EQ(0u, pacer.retakes());
  // Polls at least every 10 ms, sleeps at least 1 ms.
  EXPECT_EQ(10u, *std::max_element(source.sleeps.begin(), source.sleeps.end()));
  EXPECT_EQ(1u, *std::min_element(source.sleeps.begin(), source.sleeps.end()));
}

TEST(FramePacer, NoClockSleepsOnePeriod) {
  SimulatedSource source;
  source.has_clock = false;
  FramePacer pacer;
  pacer.Pace(0, kPeriod, source);
  pacer.Pace(kPeriod, kPeriod, source);
  EXPECT_EQ((std::vector<DWORD>{33, 33}), source.sleeps);
  EXPECT_FALSE(pacer.offset_known());
}

TEST(FramePacer, NonPositivePeriodDoesNotWait) {
  SimulatedSource source;
  FramePacer pacer;
  pacer.Pace(0, 0, source);
  pacer.Pace(0, -5, source);
  EXPECT_TRUE(source.sleeps.empty());
  EXPECT_FALSE(pacer.offset_known());
}

// Wine's graph: the filter streams while paused (start time 0, so stream time is the
// clock's time), then runs with a start time 200 ms ahead of the clock. The stream time
// drops by the whole clock time; with the first offset kept, every wait would run to
// its cap (about 53 ms, 19 samples per second).
TEST(FramePacer, RunWithStartTimeAheadKeepsTheRate) {
  SimulatedSource source;
  FramePacer pacer;
  auto paused = PaceSamples(pacer, source, 10);
  source.stream_time = -200 * kMs;  // Run(clock + 200 ms)
  const auto running = PaceSamples(pacer, source, 60, 10);
  EXPECT_EQ(1u, pacer.retakes());

  std::vector<int64_t> all = paused;
  all.insert(all.end(), running.begin(), running.end());
  ExpectEvenlySpaced(Intervals(all));
  EXPECT_NEAR(60 * kPeriod, running.back() - running.front() + kPeriod, 4 * kMs);  // 60 samples: 2 s
}

TEST(FramePacer, ClockJumpingForwardAndBackKeepsTheRate) {
  SimulatedSource source;
  FramePacer pacer;
  auto releases = PaceSamples(pacer, source, 10);
  source.stream_time += 1000 * kMs;  // forward: no catch-up burst
  auto later = PaceSamples(pacer, source, 10, 10);
  releases.insert(releases.end(), later.begin(), later.end());
  source.stream_time -= 3000 * kMs;  // back: no stall
  later = PaceSamples(pacer, source, 10, 20);
  releases.insert(releases.end(), later.begin(), later.end());
  EXPECT_EQ(2u, pacer.retakes());
  ExpectEvenlySpaced(Intervals(releases));
}

// A jump in the middle of a wait: the waiting sample keeps its real-time schedule
// instead of leaving at once (forward) or late (back).
TEST(FramePacer, ClockJumpingDuringAWaitKeepsTheSampleOnSchedule) {
  for (REFERENCE_TIME jump : {1000 * kMs, -1000 * kMs}) {
    SimulatedSource source;
    FramePacer pacer;
    auto releases = PaceSamples(pacer, source, 5);
    source.jump_at = source.real_time + 2 * kMs + 5 * kMs;  // 5 ms into the next wait
    source.jump = jump;
    const auto later = PaceSamples(pacer, source, 10, 5);
    releases.insert(releases.end(), later.begin(), later.end());
    EXPECT_EQ(1u, pacer.retakes()) << jump;
    ExpectEvenlySpaced(Intervals(releases));
  }
}

// Small lateness is caught up without a re-take: a slow sample is followed by a
// shorter wait, and the schedule holds.
TEST(FramePacer, SlowSampleIsCaughtUpWithinTheSlack) {
  SimulatedSource source;
  FramePacer pacer;
  PaceSamples(pacer, source, 5);
  const int64_t before = source.real_time;
  source.Advance(45 * kMs);  // the downstream pin held us for 45 ms
  pacer.Pace(5 * kPeriod, kPeriod, source);
  EXPECT_EQ(before + 45 * kMs, source.real_time);  // already late: no wait
  pacer.Pace(6 * kPeriod, kPeriod, source);
  EXPECT_EQ(0u, pacer.retakes());
  EXPECT_GE(source.stream_time, pacer.offset() + 6 * kPeriod);
  EXPECT_LT(source.stream_time, pacer.offset() + 6 * kPeriod + kMs);
}

// A clock that stops: real time governs and samples stay one period apart, never a
// capped wait followed by none.
TEST(FramePacer, StoppedClockHoldsEachSampleOnePeriod) {
  SimulatedSource source;
  FramePacer pacer;
  auto releases = PaceSamples(pacer, source, 5);
  source.clock_running = false;
  const auto stopped = PaceSamples(pacer, source, 30, 5);
  releases.insert(releases.end(), stopped.begin(), stopped.end());
  const auto intervals = Intervals(releases);
  ExpectEvenlySpaced(intervals);
  // No wait ever longer than one period plus 20 ms.
  for (int64_t interval : intervals) EXPECT_LE(interval, kPeriod + FramePacer::kSlack);

  // The clock runs again: the schedule continues without a burst.
  source.clock_running = true;
  const auto resumed = PaceSamples(pacer, source, 10, 35);
  ExpectEvenlySpaced(Intervals(resumed));
  EXPECT_GE(resumed.front() - releases.back(), kPeriod - kMs);
}

// A clock running at half speed cannot hold a sample longer than the wait it asked for
// in real time.
TEST(FramePacer, SlowClockIsBoundedByRealTime) {
  class HalfSpeed final : public PacingSource {
   public:
    HRESULT StreamTime(REFERENCE_TIME* out) noexcept override {
      *out = real / 2;
      return S_OK;
    }
    int64_t RealTime() noexcept override { return real; }
    void SleepMilliseconds(DWORD ms) noexcept override { real += ms * kMs; }
    int64_t real = 0;
  } source;
  FramePacer pacer;
  std::vector<int64_t> releases;
  for (int i = 0; i < 20; ++i) {
    pacer.Pace(i * kPeriod, kPeriod, source);
    releases.push_back(source.real);
  }
  for (int64_t interval : Intervals(releases)) {
    EXPECT_GE(interval, kPeriod - kMs);
    EXPECT_LE(interval, kPeriod + FramePacer::kSlack);
  }
}

TEST(FramePacer, ResetMakesTheNextSampleDueAtOnce) {
  SimulatedSource source;
  FramePacer pacer;
  PaceSamples(pacer, source, 3);
  pacer.Reset();
  EXPECT_FALSE(pacer.offset_known());
  const size_t sleeps = source.sleeps.size();
  source.stream_time += 10 * kMs;
  pacer.Pace(0, kPeriod, source);
  EXPECT_EQ(sleeps, source.sleeps.size());
  EXPECT_EQ(source.stream_time, pacer.offset());
}

}  // namespace
}  // namespace veltrano::camera
