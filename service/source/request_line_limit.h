// Lines the service writes once per control request: a client that floods requests may make a
// few of each kind a second; the rest are counted and the count is written with the next one.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

class RequestLineLimit {
 public:
  static constexpr std::uint32_t kLinesPerSecond = 5;

  // count_format: the line, with one %llu, that says how many lines of this kind were left out.
  RequestLineLimit(const char* tag, const char* count_format) : tag_(tag), count_format_(count_format) {}

  // True when a line may be written now; the count of those left out since the last one written
  // is then written first (and starts again).
  bool Allow();

 private:
  const char* tag_;
  const char* count_format_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point window_start_;
  std::uint32_t in_window_ = 0;
  std::uint64_t refused_ = 0;
};
