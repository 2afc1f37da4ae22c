// Lines the service writes once per control request: a client that floods requests may make a
// few of each kind a second; the rest are counted and the count is written with the next one.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

class RequestLineLimit {
 public:
  static constexpr std::uint32_t kLinesPerSecond = 5;

  // True when a line may be written now; *left_out then holds how many were refused since the
  // last one written (the count starts again).
  bool Allow(std::uint64_t* left_out);

 private:
  std::mutex mutex_;
  std::chrono::steady_clock::time_point window_start_;
  std::uint32_t in_window_ = 0;
  std::uint64_t refused_ = 0;
};
