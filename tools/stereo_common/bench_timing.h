// Timing helpers of the benchmarks: medians of repeated work, and silencing standard output
// (the matcher and the OpenCL set-up print on it) while the figures are measured.
#pragma once

#include <functional>
#include <vector>

namespace bench {

// Redirects standard output to /dev/null for its lifetime.
class QuietStdout {
 public:
  QuietStdout();
  ~QuietStdout();
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

// Milliseconds one call of work takes.
double MillisecondsOf(const std::function<void()>& work);

// Milliseconds of each of `frames` calls of work made at the start of every `period_milliseconds` tick (sleeping
// until it, as a camera's frames come), after `warm_up` such calls that are not timed.
std::vector<double> PacedMilliseconds(const std::function<void()>& work, long period_milliseconds, int warm_up,
                                      int frames);

// Median milliseconds of frames calls of work, after at least warm_up calls and warm_up_milliseconds that are
// not timed.
double MedianMilliseconds(const std::function<void()>& work, int warm_up, int frames,
                          double warm_up_milliseconds = 0);

// The median, 90th percentile and worst of a set of times (at least one).
struct Spread {
  double median;
  double p90;
  double worst;
};
Spread SpreadOf(std::vector<double> times);

}  // namespace bench
