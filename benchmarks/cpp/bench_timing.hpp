#pragma once
// Median-of-repeats wall-clock timing for the kernel benchmarks.
#include <algorithm>
#include <chrono>
#include <vector>

namespace zandrel::bench {

template <class Fn>
double median_seconds(int repeats, Fn&& fn) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace zandrel::bench
