// Timing helpers shared by the benchmarks: one timed call on the performance counter
// and the median of a run's figures. Any thread.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

namespace veltrano::bench {

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

//! Seconds that one call of `operation` took.
template <typename Operation>
double TimeOnce(const LARGE_INTEGER& frequency, Operation operation) {
  LARGE_INTEGER start, end;
  ::QueryPerformanceCounter(&start);
  operation();
  ::QueryPerformanceCounter(&end);
  return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace veltrano::bench
