// Sample times and pacing against a simulated clock: real time advances only when the
// pacer waits (or the test says the sample took time), and the stream clock follows
// it, jumps, or stands still as the test says. Waits are exact, or rounded up to the
// 15.625 ms ticks of a Windows process that never raised its timer resolution.
// Deterministic; no real time.
#include "camera/frame_pacer.h"

#include <dshow.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace veltrano::camera {
namespace {

constexpr REFERENCE_TIME kPeriod = 333333;
constexpr REFERENCE_TIME kMs = 10000;
constexpr int64_t kTick = 156250;  // 15.625 ms

class SimulatedSource final : public PacingSource {
 public:
  HRESULT StreamTime(REFERENCE_TIME* out) noexcept override {
    if (!has_clock) return VFW_E_NO_CLOCK;
    *out = stream_time;
    return S_OK;
  }
  int64_t RealTime() noexcept override { return real_time; }
  bool Wait(int64_t duration) noexcept override {
    ++waits;
    if (interrupt_next_wait) {
      interrupt_next_wait = false;
      return false;
    }
    int64_t end = real_time + duration;
    if (coarse) end = (end + kTick - 1) / kTick * kTick;  // the first tick at or after
    Advance(end - real_time);
    return true;
  }
  //! Time passes: real time always, the stream clock when it runs.
  void Advance(int64_t duration) noexcept {
    real_time += duration;
    if (clock_running) stream_time += duration;
  }

  bool has_clock = true;
  bool clock_running = true;
  bool coarse = false;
  bool interrupt_next_wait = false;
  int waits = 0;
  int64_t real_time = 5'000'000'000;
  REFERENCE_TIME stream_time = -200 * kMs;  // Wine's Run: 200 ms ahead of the clock
};

struct Released {
  SampleTimes times;
  int64_t real_time;
  REFERENCE_TIME stream_time;
};

// Paces `count` samples of `period`, each taking `work` of real time before its wait.
std::vector<Released> PaceSamples(FramePacer& pacer, SimulatedSource& source, int count, int64_t work = 2 * kMs,
                                  REFERENCE_TIME period = kPeriod) {
  std::vector<Released> released;
  for (int i = 0; i < count; ++i) {
    source.Advance(work);
    SampleTimes times;
    EXPECT_TRUE(pacer.Next(period, source, &times));
    released.push_back({times, source.real_time, source.stream_time});
  }
  return released;
}

std::vector<double> IntervalsMs(const std::vector<Released>& released) {
  std::vector<double> intervals;
  for (size_t i = 1; i < released.size(); ++i) {
    intervals.push_back(static_cast<double>(released[i].real_time - released[i - 1].real_time) / kMs);
  }
  return intervals;
}

// Start times one interval apart, stop = start + interval, and never ahead of the
// stream time at which the sample left.
void ExpectOnTheGrid(const std::vector<Released>& released) {
  for (size_t i = 0; i < released.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(released[i].times.start + kPeriod, released[i].times.stop);
    EXPECT_LE(released[i].times.start, released[i].stream_time);
    if (i > 0) {
      EXPECT_EQ(released[i - 1].times.stop, released[i].times.start);
      EXPECT_FALSE(released[i].times.discontinuity);
    }
  }
}

TEST(FramePacer, FirstSampleOfARunIsDueAtStreamTimeZeroOrNow) {
  struct Row {
    REFERENCE_TIME stream_time;
    REFERENCE_TIME expected_start;
    int64_t expected_wait;
  };
  // Wine's graph runs 200 ms ahead: the first sample waits for stream time 0. A graph
  // whose stream time is past 0 gets its first sample at once.
  for (const Row row : {Row{-200 * kMs, 0, 200 * kMs}, Row{5'000 * kMs, 5'000 * kMs, 0}, Row{0, 0, 0}}) {
    SCOPED_TRACE(row.stream_time);
    SimulatedSource source;
    source.stream_time = row.stream_time;
    FramePacer pacer;
    const int64_t before = source.real_time;
    SampleTimes times;
    ASSERT_TRUE(pacer.Next(kPeriod, source, &times));
    EXPECT_EQ(row.expected_start, times.start);
    EXPECT_EQ(row.expected_start + kPeriod, times.stop);
    EXPECT_TRUE(times.discontinuity);
    EXPECT_EQ(row.expected_wait, source.real_time - before);
  }
}

// The same schedule with exact waits and with waits rounded up to 15.625 ms ticks:
// start times stay on the grid and the average rate holds, since every due time is
// absolute and a late wake-up never moves the next one. The spread is printed.
TEST(FramePacer, CoarseWaitsKeepTheAverageRate) {
  for (bool coarse : {false, true}) {
    SCOPED_TRACE(coarse ? "coarse" : "exact");
    SimulatedSource source;
    source.coarse = coarse;
    source.real_time = 5'000'000'000 + 37'000;  // the ticks' phase is arbitrary
    FramePacer pacer;
    const auto released = PaceSamples(pacer, source, 301);
    ExpectOnTheGrid(released);
    EXPECT_TRUE(released[0].times.discontinuity);
    EXPECT_EQ(300 * kPeriod, released.back().times.start - released.front().times.start);

    std::vector<double> intervals = IntervalsMs(released);
    double sum = 0;
    double squares = 0;
    for (double interval : intervals) sum += interval;
    const double mean = sum / intervals.size();
    for (double interval : intervals) squares += (interval - mean) * (interval - mean);
    std::sort(intervals.begin(), intervals.end());
    std::printf("[ figures  ] %s waits: interval mean %.3f ms, min %.3f, median %.3f, max %.3f, stddev %.3f ms\n",
                coarse ? "15.625 ms tick" : "exact", mean, intervals.front(), intervals[intervals.size() / 2],
                intervals.back(), std::sqrt(squares / intervals.size()));
    // 300 intervals take 10 s, give or take the lateness of the last wake-up.
    const double late_bound_ms = coarse ? 15.625 : 0.0;
    EXPECT_GE(mean, 33.3333 - 0.001);
    EXPECT_LE(mean, 33.3334 + late_bound_ms / 300);
    // Each sample leaves no later than one tick after it is due.
    for (const Released& r : released) EXPECT_LT(r.stream_time - r.times.start, coarse ? kTick : kMs);
  }
}

// A worker held up leaves at once, stamped with the latest grid point, and is back on
// the grid after: no burst of the samples it missed, no two closer than half an
// interval, and no restart. At low rates a delay of 1.55 intervals leaves the next
// grid point out, so the next sample is due almost 1.5 intervals later; with a clock
// of whole milliseconds that sample may read the same stream time as the late one.
TEST(FramePacer, LateWorkerSkipsToTheGridWithoutABurst) {
  struct Row {
    REFERENCE_TIME period;
    int64_t delay;
    int64_t work_after;  // real time each later sample takes before its wait
  };
  const Row rows[] = {
      {kPeriod, 50 * kMs, 2 * kMs},    {kPeriod, 100 * kMs, 2 * kMs},   {kPeriod, 133 * kMs, 2 * kMs},
      {kPeriod, 1000 * kMs, 2 * kMs},  {666667, 1033334, 2 * kMs},      {666667, 1033334, 0},
      {10000000, 15500000, 2 * kMs},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "period " << row.period << ", delay " << row.delay << ", work "
                                    << row.work_after);
    SimulatedSource source;
    FramePacer pacer;
    auto released = PaceSamples(pacer, source, 5, 2 * kMs, row.period);
    const auto late = PaceSamples(pacer, source, 1, row.delay, row.period);
    const auto after = PaceSamples(pacer, source, 10, row.work_after, row.period);
    released.insert(released.end(), late.begin(), late.end());
    released.insert(released.end(), after.begin(), after.end());
    if (row.delay >= 2 * row.period) {
      EXPECT_EQ(1u, pacer.skipped());
    }
    EXPECT_EQ(0u, pacer.restarts());
    for (size_t i = 1; i < released.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_GT(released[i].times.start, released[i - 1].times.start);
      EXPECT_EQ(0, released[i].times.start % row.period);  // on the grid (anchored at 0)
      EXPECT_LE(released[i].times.start, released[i].stream_time);
      EXPECT_LT(released[i].stream_time - released[i].times.start, row.period);
      EXPECT_GE(released[i].real_time - released[i - 1].real_time, row.period / 2) << "burst";
      EXPECT_FALSE(released[i].times.discontinuity);
    }
  }
}

// A clock that jumps back restarts the grid one interval on (a discontinuity, the one
// place times go back); one that jumps forward is followed at once.
TEST(FramePacer, ClockJumpsAreFollowed) {
  SimulatedSource source;
  source.stream_time = 60'000 * kMs;
  FramePacer pacer;
  auto released = PaceSamples(pacer, source, 10);
  source.stream_time -= 3000 * kMs;
  const auto back = PaceSamples(pacer, source, 10);
  EXPECT_EQ(1u, pacer.restarts());
  EXPECT_TRUE(back[0].times.discontinuity);
  EXPECT_EQ(back[0].stream_time, back[0].times.start);
  EXPECT_NEAR(static_cast<double>(kPeriod), static_cast<double>(back[0].real_time - released.back().real_time),
              static_cast<double>(3 * kMs));
  ExpectOnTheGrid(std::vector<Released>(back.begin() + 1, back.end()));

  source.stream_time += 1000 * kMs;
  const auto forward = PaceSamples(pacer, source, 10);
  EXPECT_EQ(1u, pacer.skipped());
  EXPECT_LE(forward[0].stream_time - forward[0].times.start, kPeriod);
  ExpectOnTheGrid(std::vector<Released>(forward.begin() + 1, forward.end()));
}

// A clock that stops: the samples keep their rate in real time and their times keep
// increasing; when it runs again the grid restarts at it.
TEST(FramePacer, StoppedClockKeepsTheRateInRealTime) {
  SimulatedSource source;
  FramePacer pacer;
  auto released = PaceSamples(pacer, source, 10);
  source.clock_running = false;
  const auto stopped = PaceSamples(pacer, source, 30);
  released.insert(released.end(), stopped.begin(), stopped.end());
  for (size_t i = 10; i < released.size(); ++i) {
    EXPECT_NEAR(33.3, (released[i].real_time - released[i - 1].real_time) / static_cast<double>(kMs), 2.1) << i;
    EXPECT_EQ(released[i - 1].times.stop, released[i].times.start) << i;
  }
  source.clock_running = true;
  const auto resumed = PaceSamples(pacer, source, 10);
  EXPECT_TRUE(resumed[0].times.discontinuity);
  ExpectOnTheGrid(std::vector<Released>(resumed.begin() + 1, resumed.end()));
}

// Without a clock, times come from real time since the run began, and continue from
// the end of the last sample at the next run.
TEST(FramePacer, WithoutAClockTimesComeFromRealTime) {
  SimulatedSource source;
  source.has_clock = false;
  FramePacer pacer;
  const auto first = PaceSamples(pacer, source, 10);
  EXPECT_EQ(0, first[0].times.start);
  EXPECT_TRUE(first[0].times.discontinuity);
  for (size_t i = 1; i < first.size(); ++i) {
    EXPECT_EQ(static_cast<REFERENCE_TIME>(i) * kPeriod, first[i].times.start);
    EXPECT_EQ(kPeriod, first[i].real_time - first[i - 1].real_time);
  }
  source.Advance(2000 * kMs);  // paused for 2 s
  pacer.BeginRun();
  const auto second = PaceSamples(pacer, source, 3);
  EXPECT_EQ(first.back().times.stop, second[0].times.start);
  EXPECT_TRUE(second[0].times.discontinuity);
  EXPECT_EQ(2 * kMs, second[0].real_time - first.back().real_time - 2000 * kMs);  // at once
}

// A resumed graph continues its stream time from where it paused, up to an interval
// before the end of the last sample: the first sample waits for that end. A stream
// time that went back further than the resume bound has restarted: so do the times.
TEST(FramePacer, ResumeKeepsTimesIncreasing) {
  struct Row {
    const char* what;
    REFERENCE_TIME step_back;  // of the stream time against the last sample's end
    bool waits_for_last_end;
  };
  const Row rows[] = {
      {"continues, 20 ms before the end", 20 * kMs, true},
      {"continues past the end", -50 * kMs, false},
      {"restarted", FramePacer::kMaxResumeWait + kMs, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SimulatedSource source;
    FramePacer pacer;
    const auto before = PaceSamples(pacer, source, 60);
    const REFERENCE_TIME last_stop = before.back().times.stop;
    source.stream_time = last_stop - row.step_back;
    pacer.BeginRun();
    SampleTimes times;
    ASSERT_TRUE(pacer.Next(kPeriod, source, &times));
    EXPECT_TRUE(times.discontinuity);
    if (row.waits_for_last_end) {
      EXPECT_EQ(last_stop, times.start);
      EXPECT_EQ(last_stop, source.stream_time);
    } else {
      EXPECT_EQ(last_stop - row.step_back, times.start);
    }
  }
}

// Stream times at the ends of the range (a start time far out given to Run, or a clock
// that jumps there): a sample far behind the clock leaves at once with times in order,
// and one whose due time lies far ahead of the clock waits for it (the wait is cut
// short here, which gives no sample).
TEST(FramePacer, StreamTimesAtTheEndsOfTheRange) {
  constexpr REFERENCE_TIME kMax = std::numeric_limits<REFERENCE_TIME>::max();
  constexpr REFERENCE_TIME kMin = std::numeric_limits<REFERENCE_TIME>::min();
  struct Row {
    const char* what;
    bool mid_run;
    REFERENCE_TIME stream_time;
    bool waits;
  };
  const Row rows[] = {
      {"first sample at the top", false, kMax, false},
      {"first sample at the bottom", false, kMin, true},
      {"jump to the top", true, kMax, false},
      {"jump to the bottom", true, kMin, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SimulatedSource source;
    FramePacer pacer;
    if (row.mid_run) PaceSamples(pacer, source, 3);
    source.stream_time = row.stream_time;
    source.interrupt_next_wait = true;
    SampleTimes times;
    const bool given = pacer.Next(kPeriod, source, &times);
    EXPECT_EQ(!row.waits, given);
    if (given) {
      EXPECT_GE(times.start, 0);
      EXPECT_LE(times.start, row.stream_time);
      EXPECT_GT(times.stop, times.start);
      if (times.stop > times.start) {
        EXPECT_EQ(kPeriod, times.stop - times.start);
      }
    }
  }
}

// A wait cut short (Stop or Pause) gives no times, and the grid stays where it was.
TEST(FramePacer, InterruptedWaitGivesNoSample) {
  SimulatedSource source;
  FramePacer pacer;
  const auto released = PaceSamples(pacer, source, 3);
  source.interrupt_next_wait = true;
  SampleTimes times;
  times.start = -7;
  EXPECT_FALSE(pacer.Next(kPeriod, source, &times));
  EXPECT_EQ(-7, times.start);
  ASSERT_TRUE(pacer.Next(kPeriod, source, &times));
  EXPECT_EQ(released.back().times.stop, times.start);
}

}  // namespace
}  // namespace veltrano::camera
