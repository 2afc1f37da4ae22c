// Counts of the received image stream and its summary lines.
#include "stream_statistics.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace camera_client {
namespace {

constexpr double kMicrosPerSecond = 1e6;
constexpr double kPercent = 100.0;
constexpr size_t kLineBytes = 256;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char line[kLineBytes];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

}  // namespace

void FrameCounter::Add(uint32_t frame_index, uint64_t receipt_us) {
  if (frames_ > 0 && frame_index > last_index_ + 1) {
    lost_ += frame_index - last_index_ - 1;
  }
  if (frames_ == 0 || frame_index > last_index_) last_index_ = frame_index;
  last_us_ = receipt_us;
  ++frames_;
}

double FrameCounter::Rate(uint64_t since_us) const {
  if (frames_ == 0 || last_us_ <= since_us) return 0.0;
  return static_cast<double>(frames_) * kMicrosPerSecond / static_cast<double>(last_us_ - since_us);
}

double LatencyRecord::Median() const {
  if (samples_.empty()) return 0.0;
  std::vector<double> sorted = samples_;
  std::sort(sorted.begin(), sorted.end());
  const size_t middle = sorted.size() / 2;
  return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2.0;
}

double LatencyRecord::Worst() const {
  return samples_.empty() ? 0.0 : *std::max_element(samples_.begin(), samples_.end());
}

std::string SummaryLines(const StreamSummary& s, bool with_scene) {
  const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  std::string lines = Format("colour frames=%llu decoded=%llu decode_errors=%llu lost=%llu fps=%.2f\n",
                             u(s.colour.frames()), u(s.decoded), u(s.decode_errors), u(s.colour.lost()),
                             s.colour.Rate(s.start_us));
  lines += Format("disparity frames=%llu lost=%llu fps=%.2f\n", u(s.disparity.frames()), u(s.disparity.lost()),
                  s.disparity.Rate(s.start_us));
  lines += Format("latency median_ms=%.2f worst_ms=%.2f\n", s.latency.Median(), s.latency.Worst());
  if (with_scene) {
    const double share = s.scene_pixels == 0 ? 0.0 : kPercent * s.scene_agreeing / s.scene_pixels;
    lines += Format("scene frames=%llu within_one_level=%.2f%%\n", u(s.scene_frames), share);
  }
  return lines;
}

uint64_t WallClockMicros() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<uint64_t>(now.tv_sec) * static_cast<uint64_t>(kMicrosPerSecond) + static_cast<uint64_t>(now.tv_usec);
}

}  // namespace camera_client
