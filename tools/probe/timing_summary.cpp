#include "tools/probe/timing_summary.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace veltrano::tools {
namespace {

double Milliseconds(int64_t time_100ns) { return static_cast<double>(time_100ns) / 10000.0; }

std::string Format(const char* format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

}  // namespace

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  rank = std::clamp<size_t>(rank, 1, values.size());
  return values[rank - 1];
}

TimingSummary SummariseTimings(const std::vector<FrameRecord>& records, size_t frame_count, uint64_t run_time,
                               uint64_t stop_time, int64_t nominal_interval, double cpu_seconds) {
  TimingSummary summary;
  summary.frames = frame_count;
  summary.streamed_seconds = stop_time > run_time ? (stop_time - run_time) / 1e7 : 0.0;
  if (summary.streamed_seconds > 0) summary.cpu_seconds_per_second = cpu_seconds / summary.streamed_seconds;
  if (records.empty()) return summary;

  summary.first_frame_ms = Milliseconds(static_cast<int64_t>(records.front().arrival - run_time));
  // The rate is measured from the second frame on, past the start-up gap below.
  if (records.size() > 2) {
    const uint64_t span = records.back().arrival - records[1].arrival;
    if (span > 0) summary.delivered_fps = (records.size() - 2) * 1e7 / static_cast<double>(span);
  }

  // The renderer holds the first sample until the graph's start time (about 200 ms
  // after Run in Wine), so the first interval is start-up, reported on its own.
  if (records.size() > 1) {
    summary.startup_gap_ms = Milliseconds(static_cast<int64_t>(records[1].arrival - records[0].arrival));
  }
  std::vector<double> intervals;
  const double nominal_ms = Milliseconds(nominal_interval);
  for (size_t i = 2; i < records.size(); ++i) {
    const double interval = Milliseconds(static_cast<int64_t>(records[i].arrival - records[i - 1].arrival));
    intervals.push_back(interval);
    if (nominal_ms > 0 && interval > 1.5 * nominal_ms) ++summary.late_frames;
  }
  // A frame is missing where the device's own sample times skip a slot.
  for (size_t i = 1; i < records.size() && nominal_interval > 0; ++i) {
    if (!records[i].has_sample_time || !records[i - 1].has_sample_time) continue;
    const double step = static_cast<double>(records[i].sample_start - records[i - 1].sample_start);
    const long slots = std::lround(step / static_cast<double>(nominal_interval));
    if (slots > 1) summary.missing_frames += static_cast<size_t>(slots - 1);
  }
  summary.interval_p50_ms = Percentile(intervals, 0.50);
  summary.interval_p99_ms = Percentile(intervals, 0.99);
  summary.interval_worst_ms = intervals.empty() ? 0.0 : *std::max_element(intervals.begin(), intervals.end());

  std::vector<double> latencies;
  bool have_previous = false;
  uint32_t previous = 0;
  for (const FrameRecord& record : records) {
    if (!record.stamped) continue;
    ++summary.stamped_frames;
    if (have_previous && record.counter == previous) {
      ++summary.feed_repeats;
      continue;
    }
    // A counter that jumps ahead skipped feed frames; one that goes back is a new feed.
    if (have_previous && record.counter > previous) summary.feed_skipped += record.counter - previous - 1;
    latencies.push_back(Milliseconds(static_cast<int64_t>(record.arrival - record.send_time)));
    have_previous = true;
    previous = record.counter;
  }
  summary.latency_samples = latencies.size();
  summary.latency_p50_ms = Percentile(latencies, 0.50);
  summary.latency_p99_ms = Percentile(latencies, 0.99);
  summary.latency_worst_ms = latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end());
  return summary;
}

std::string FormatTimingSummary(const TimingSummary& s) {
  std::string text;
  text += Format("streamed: %.2f s\n", s.streamed_seconds);
  text += Format("frames: %zu\n", s.frames);
  text += Format("frame rate: %.2f fps\n", s.delivered_fps);
  if (s.first_frame_ms >= 0) {
    text += Format("first frame after Run: %.1f ms\n", s.first_frame_ms);
  } else {
    text += "first frame after Run: none arrived\n";
  }
  text += Format("start-up gap (first to second frame): %.1f ms\n", s.startup_gap_ms);
  text += Format("interval p50 / p99 / worst: %.2f / %.2f / %.2f ms\n", s.interval_p50_ms, s.interval_p99_ms,
                 s.interval_worst_ms);
  text += Format("late frames (interval > 1.5 x nominal): %zu\n", s.late_frames);
  text += Format("missing frames (gaps in sample times): %zu\n", s.missing_frames);
  if (s.latency_samples > 0) {
    text += Format("feed frames: %zu stamped, %zu repeated, %zu skipped\n", s.stamped_frames, s.feed_repeats,
                   s.feed_skipped);
    text += Format("latency p50 / p99 / worst: %.2f / %.2f / %.2f ms (%zu feed frames)\n", s.latency_p50_ms,
                   s.latency_p99_ms, s.latency_worst_ms, s.latency_samples);
  } else {
    text += "feed frames: none (no veltrano-feed stamp seen)\n";
  }
  text += Format("capture CPU: %.4f s per streamed second\n", s.cpu_seconds_per_second);
  return text;
}

std::string FormatTimingCsv(const std::vector<FrameRecord>& records, uint64_t run_time) {
  std::string csv = "frame,arrival_ms,interval_ms,sample_start_ms,feed_counter,latency_ms\n";
  for (size_t i = 0; i < records.size(); ++i) {
    const FrameRecord& record = records[i];
    csv += Format("%zu,%.3f,", i, Milliseconds(static_cast<int64_t>(record.arrival - run_time)));
    if (i > 0) csv += Format("%.3f", Milliseconds(static_cast<int64_t>(record.arrival - records[i - 1].arrival)));
    csv += ",";
    if (record.has_sample_time) csv += Format("%.3f", Milliseconds(record.sample_start));
    csv += ",";
    if (record.stamped) {
      csv += Format("%u,%.3f", record.counter, Milliseconds(static_cast<int64_t>(record.arrival - record.send_time)));
    } else {
      csv += ",";
    }
    csv += "\n";
  }
  return csv;
}

}  // namespace veltrano::tools
