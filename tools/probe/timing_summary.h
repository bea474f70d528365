// Figures of one probe run computed from the frame records: delivered rate, interval
// spread, late and missing frames, time to first frame, end-to-end latency of frames
// stamped by veltrano-feed, and CPU use. Pure functions, main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/probe/frame_record.h"

namespace veltrano::tools {

struct TimingSummary {
  size_t frames = 0;
  double streamed_seconds = 0.0;
  double delivered_fps = 0.0;        // from the second frame to the last
  double first_frame_ms = -1.0;      // Run to first arrival; -1 when no frame came
  double startup_gap_ms = 0.0;       // first to second arrival
  double interval_p50_ms = 0.0;       // intervals from the second frame on
  double interval_p99_ms = 0.0;
  double interval_worst_ms = 0.0;
  size_t late_frames = 0;            // intervals (after start-up) above 1.5 nominal
  size_t missing_frames = 0;         // slots skipped by the sample start times
  size_t stamped_frames = 0;
  size_t feed_repeats = 0;           // a feed frame delivered again
  size_t feed_skipped = 0;           // feed frames never delivered
  size_t latency_samples = 0;        // first arrivals of feed frames
  double latency_p50_ms = 0.0;
  double latency_p99_ms = 0.0;
  double latency_worst_ms = 0.0;
  double cpu_seconds_per_second = 0.0;
};

//! Nearest-rank percentile (0 < fraction <= 1) of unsorted values; 0 when empty.
double Percentile(std::vector<double> values, double fraction);

//! `run_time` and `stop_time` on the performance clock (100 ns); nominal interval in
//! 100 ns; `cpu_seconds` of the capture process between Run and Stop.
TimingSummary SummariseTimings(const std::vector<FrameRecord>& records, size_t frame_count, uint64_t run_time,
                               uint64_t stop_time, int64_t nominal_interval, double cpu_seconds);

//! The report text, one "name: value" line per figure.
std::string FormatTimingSummary(const TimingSummary& summary);

//! CSV of per-frame timings: frame, arrival_ms (since Run), interval_ms,
//! sample_start_ms, feed_counter, latency_ms (empty where not known).
std::string FormatTimingCsv(const std::vector<FrameRecord>& records, uint64_t run_time);

}  // namespace veltrano::tools
