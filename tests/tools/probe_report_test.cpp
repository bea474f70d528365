// The probe's figures from frame records: percentiles, start-up gap, late and missing
// frames, feed repeats and skips, latency, the CSV text, and the contact sheet.
#include <gtest/gtest.h>

#include "tools/probe/contact_sheet.h"
#include "tools/probe/frame_recorder.h"
#include "tools/probe/timing_summary.h"

namespace veltrano::tools {
namespace {

constexpr uint64_t kRun = 1000000000;  // performance clock at Run, 100 ns units
constexpr int64_t kInterval = 333333;

FrameRecord Record(double arrival_ms, int64_t slot, int counter = -1, double sent_ms = 0) {
  FrameRecord record;
  record.arrival = kRun + static_cast<uint64_t>(arrival_ms * 10000);
  record.sample_start = slot * kInterval;
  record.has_sample_time = true;
  if (counter >= 0) {
    record.stamped = true;
    record.counter = static_cast<uint32_t>(counter);
    record.send_time = kRun + static_cast<uint64_t>(sent_ms * 10000);
  }
  return record;
}

// The record store of the longest run (--seconds 86400) against any frame interval a
// device may claim, down to 1 (10 million fps): always a size a 32-bit probe can hold.
TEST(ProbeReport, RecordStoreIsTwiceTheNominalFramesUpToTheCap) {
  const struct {
    double seconds;
    double fps;
    size_t records;
  } cases[] = {
      {5, 30, 556}, {0.5, 30, 286}, {600, 30, 36256}, {86400, 30, kMaxFrameRecords}, {86400, 1e7, kMaxFrameRecords},
  };
  for (const auto& c : cases) EXPECT_EQ(c.records, FrameRecordCapacity(c.seconds, c.fps)) << c.seconds << " s, " << c.fps;
  EXPECT_LE(kMaxFrameRecords * sizeof(FrameRecord), size_t{200} << 20);
}

TEST(ProbeReport, PercentileIsNearestRank) {
  EXPECT_EQ(0.0, Percentile({}, 0.5));
  EXPECT_EQ(7.0, Percentile({7.0}, 0.99));
  EXPECT_EQ(2.0, Percentile({4.0, 1.0, 3.0, 2.0}, 0.5));
  EXPECT_EQ(4.0, Percentile({4.0, 1.0, 3.0, 2.0}, 0.99));
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_EQ(50.0, Percentile(hundred, 0.5));
  EXPECT_EQ(99.0, Percentile(hundred, 0.99));
}

TEST(ProbeReport, SummarySeparatesStartUpAndCountsLateMissingAndFeedFrames) {
  // Start-up gap of 230 ms, then 30/35/80/33 ms intervals; the 80 ms one skips
  // sample slot 4 (one missing frame) and is late. Feed counters 10, 11, 11
  // (repeat), 14 (12 and 13 skipped), 15.
  const std::vector<FrameRecord> records = {
      Record(20, 0, 10, 10),  Record(250, 1, 11, 240), Record(280, 2, 11, 240),
      Record(315, 3, 14, 300), Record(395, 5, 15, 390), Record(428, 6),
  };
  const uint64_t stop = kRun + 5000000;  // 500 ms
  const TimingSummary s = SummariseTimings(records, records.size(), kRun, stop, kInterval, 0.25);
  EXPECT_EQ(6u, s.frames);
  EXPECT_DOUBLE_EQ(0.5, s.streamed_seconds);
  EXPECT_DOUBLE_EQ(20.0, s.first_frame_ms);
  EXPECT_DOUBLE_EQ(230.0, s.startup_gap_ms);
  EXPECT_DOUBLE_EQ(4 * 1000.0 / 178.0, s.delivered_fps);
  EXPECT_DOUBLE_EQ(33.0, s.interval_p50_ms);
  EXPECT_DOUBLE_EQ(80.0, s.interval_p99_ms);
  EXPECT_DOUBLE_EQ(80.0, s.interval_worst_ms);
  EXPECT_EQ(1u, s.late_frames);
  EXPECT_EQ(1u, s.missing_frames);
  EXPECT_EQ(5u, s.stamped_frames);
  EXPECT_EQ(1u, s.feed_repeats);
  EXPECT_EQ(2u, s.feed_skipped);
  // Latencies of first arrivals: 10, 10, 15, 5 ms.
  EXPECT_EQ(4u, s.latency_samples);
  EXPECT_DOUBLE_EQ(10.0, s.latency_p50_ms);
  EXPECT_DOUBLE_EQ(15.0, s.latency_p99_ms);
  EXPECT_DOUBLE_EQ(15.0, s.latency_worst_ms);
  EXPECT_DOUBLE_EQ(0.5, s.cpu_seconds_per_second);
}

TEST(ProbeReport, NoFramesGivesAnEmptySummaryThatSaysSo) {
  const TimingSummary s = SummariseTimings({}, 0, kRun, kRun + 10000000, kInterval, 0.0);
  EXPECT_EQ(0u, s.frames);
  EXPECT_EQ(-1.0, s.first_frame_ms);
  const std::string text = FormatTimingSummary(s);
  EXPECT_NE(std::string::npos, text.find("first frame after Run: none arrived\n"));
  EXPECT_NE(std::string::npos, text.find("feed frames: none"));
}

TEST(ProbeReport, CsvHasOneRowPerFrameWithEmptyCellsWhereUnknown) {
  FrameRecord untimed = Record(52.5, 0);
  untimed.has_sample_time = false;
  const std::vector<FrameRecord> records = {Record(20, 0, 7, 5.25), untimed};
  EXPECT_EQ(
      "frame,arrival_ms,interval_ms,sample_start_ms,feed_counter,latency_ms\n"
      "0,20.000,,0.000,7,14.750\n"
      "1,52.500,32.500,,,\n",
      FormatTimingCsv(records, kRun));
}

TEST(ProbeReport, ContactSheetShrinksFramesIntoAGrid) {
  // Two 6 x 3 frames shrunk by 3 into 2 x 1 cells, two per row, gap 1.
  BgraImage first;
  first.width = 6;
  first.height = 3;
  for (int i = 0; i < 18; ++i) first.pixels.insert(first.pixels.end(), {uint8_t(i < 9 ? 30 : 90), 0, 0, 255});
  BgraImage second = first;
  for (size_t i = 0; i < second.pixels.size(); i += 4) second.pixels[i] = 200;
  const BgraImage sheet = BuildContactSheet({first, second, first}, 2, 3, 1);
  ASSERT_EQ(2 * 2 + 3, sheet.width);
  ASSERT_EQ(2 * 1 + 3, sheet.height);
  auto blue = [&](int x, int y) { return sheet.pixels[(static_cast<size_t>(y) * sheet.width + x) * 4]; };
  EXPECT_EQ(40, blue(0, 0));  // gap colour
  // First frame: rows 0 and 2 are 30 and 90, row 1 is 30,30,30,90,90,90. The left
  // cell averages columns 0..2 to 50, the right one columns 3..5 to 70.
  EXPECT_EQ(50, blue(1, 1));
  EXPECT_EQ(70, blue(2, 1));
  EXPECT_EQ(200, blue(4, 1));
  EXPECT_EQ(blue(1, 1), blue(1, 3));  // third frame starts the second row
  EXPECT_EQ(40, blue(4, 3));          // empty cell stays sheet colour
}

}  // namespace
}  // namespace veltrano::tools
