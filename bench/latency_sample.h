// Latencies of one kind of system call as a process feels them, summarised the
// way the live-protection benchmarks print them.
#ifndef ORV_BENCH_LATENCY_SAMPLE_H_
#define ORV_BENCH_LATENCY_SAMPLE_H_

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace orv::bench {

class LatencySample {
 public:
  explicit LatencySample(int expected) { micros_.reserve(static_cast<size_t>(expected)); }

  // Runs call once and records how long it took. Returns what call returned.
  template <typename Call>
  bool Time(Call call) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = call();
    micros_.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    return ok;
  }

  // The median and the given percentile, in microseconds. Requires: at least
  // one call was timed.
  double Median() { return Percentile(50); }
  double Percentile(int percent) {
    std::sort(micros_.begin(), micros_.end());
    return micros_[std::min(micros_.size() - 1,
                            micros_.size() * static_cast<size_t>(percent) / 100)];
  }

  // Prints "<what> median ... p99 ..." with the count and what was measured.
  // Requires: at least one call was timed.
  void Print(const char* what, const char* unit, const char* subject) {
    std::sort(micros_.begin(), micros_.end());
    std::printf("%-9s median %8.1f us   p99 %8.1f us   (%zu %s of %s)\n", what,
                micros_[micros_.size() / 2], micros_[micros_.size() * 99 / 100], micros_.size(),
                unit, subject);
  }

 private:
  std::vector<double> micros_;
};

}  // namespace orv::bench

#endif  // ORV_BENCH_LATENCY_SAMPLE_H_
