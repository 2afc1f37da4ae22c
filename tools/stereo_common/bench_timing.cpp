// Timing helpers of the benchmarks.
#include "bench_timing.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

QuietStdout::QuietStdout() {
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  FILE* null = std::fopen("/dev/null", "w");
  dup2(fileno(null), STDOUT_FILENO);
  std::fclose(null);
}

QuietStdout::~QuietStdout() {
  std::fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
}

double MillisecondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::vector<double> PacedMilliseconds(const std::function<void()>& work, long period_milliseconds, int warm_up,
                                      int frames) {
  constexpr long kNanosecondsPerMillisecond = 1'000'000;
  constexpr long kNanosecondsPerSecond = 1'000'000'000;
  timespec tick{};
  clock_gettime(CLOCK_MONOTONIC, &tick);
  std::vector<double> times;
  for (int frame = 0; frame < warm_up + frames; ++frame) {
    tick.tv_nsec += period_milliseconds * kNanosecondsPerMillisecond;
    while (tick.tv_nsec >= kNanosecondsPerSecond) {
      tick.tv_nsec -= kNanosecondsPerSecond;
      ++tick.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr) != 0) {
    }
    const double ms = MillisecondsOf(work);
    if (frame >= warm_up) times.push_back(ms);
  }
  return times;
}

double MedianMilliseconds(const std::function<void()>& work, int warm_up, int frames, double warm_up_milliseconds) {
  // Threads, caches and the processors' clocks take a while to settle after a pause: warm up for a number of calls
  // and for a time, so that short calls are measured in the steady state of a running camera too.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < warm_up ||
                  std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() <
                      warm_up_milliseconds;
       ++i)
    work();
  std::vector<double> times;
  for (int i = 0; i < frames; ++i) times.push_back(MillisecondsOf(work));
  std::nth_element(times.begin(), times.begin() + frames / 2, times.end());
  return times[frames / 2];
}

Spread SpreadOf(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  const size_t p90 = std::min(times.size() - 1, times.size() * 9 / 10);
  return {times[times.size() / 2], times[p90], times.back()};
}

}  // namespace bench
