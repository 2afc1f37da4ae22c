// The monotonic clock of the watchdog's deadlines.
#include "daemon_clock.h"

#include <time.h>

std::uint64_t MonotonicClock::NowSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec);
}

DaemonClock* DefaultDaemonClock() {
  static MonotonicClock clock;
  return &clock;
}
