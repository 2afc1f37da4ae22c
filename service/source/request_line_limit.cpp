// A window of one second per kind of request line, the refused lines counted.
#include "request_line_limit.h"

#include "qelt_log.h"

bool RequestLineLimit::Allow() {
  const auto now = std::chrono::steady_clock::now();
  std::uint64_t left_out = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_window_ == 0 || now - window_start_ >= std::chrono::seconds(1)) {
      window_start_ = now;
      in_window_ = 0;
    }
    if (in_window_ >= kLinesPerSecond) {
      ++refused_;
      return false;
    }
    ++in_window_;
    left_out = refused_;
    refused_ = 0;
  }
  if (left_out > 0) PrintLog(tag_, count_format_, static_cast<unsigned long long>(left_out));
  return true;
}
