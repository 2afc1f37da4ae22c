// Time the capture thread spends in each stage of its per-frame pipeline, summed over frames.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

enum class PipelineStage : int { kRemap, kExposure, kMatcher, kMedianFilter, kErrorMatch, kCount };

class PipelineStageTimes {
 public:
  using Clock = std::chrono::steady_clock;

  void Add(PipelineStage stage, Clock::duration spent) {
    total_ns_[static_cast<int>(stage)].fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count(),
                                                 std::memory_order_relaxed);
  }
  void CountFrame() { frames_.fetch_add(1, std::memory_order_relaxed); }

  uint64_t frames() const { return frames_.load(std::memory_order_relaxed); }
  // Mean milliseconds per frame in one stage; 0 before the first frame.
  double MeanMilliseconds(PipelineStage stage) const {
    const uint64_t count = frames();
    if (count == 0) return 0.0;
    return static_cast<double>(total_ns_[static_cast<int>(stage)].load(std::memory_order_relaxed)) / 1e6 / count;
  }
  void Reset() {
    for (auto& total : total_ns_) total.store(0, std::memory_order_relaxed);
    frames_.store(0, std::memory_order_relaxed);
  }

 private:
  std::atomic<int64_t> total_ns_[static_cast<int>(PipelineStage::kCount)] = {};
  std::atomic<uint64_t> frames_{0};
};

LIBRARY_EXPORTS_END
