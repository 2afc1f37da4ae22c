// Stopwatch with a fixed-width label.
#include "tick_diff.h"

#include <chrono>
#include <sstream>

namespace std {
namespace chrono {

namespace {
constexpr double kNanosecondsPerSecond = 1e9;

int64_t NowNs() {
  return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

int64_t tick_diff::tick_diff_length = 10;

tick_diff::tick_diff(const std::string& label) : start_ns_(NowNs()), elapsed_s_(0.0) {
  const size_t width = tick_diff_length > 0 ? static_cast<size_t>(tick_diff_length) : 0;
  label_ = label.substr(0, width);
  label_.resize(width, ' ');
  label_ += ": ";
}

std::string tick_diff::diff() {
  elapsed_s_ = static_cast<double>(NowNs() - start_ns_) / kNanosecondsPerSecond;
  std::ostringstream text;
  text << label_ << elapsed_s_;
  return text.str();
}

}  // namespace chrono
}  // namespace std
