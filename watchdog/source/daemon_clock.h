// The clock that the watchdog keeps its deadlines on.
#pragma once

#include <cstdint>

// Whole seconds of a clock that only moves forward. Deadlines live on the monotonic clock, so
// setting the date (routine on a board that boots in 1970) moves none of them.
class DaemonClock {
 public:
  virtual ~DaemonClock() = default;
  virtual std::uint64_t NowSeconds() = 0;
};

// Seconds of CLOCK_MONOTONIC (time since boot, stopped while suspended).
class MonotonicClock : public DaemonClock {
 public:
  std::uint64_t NowSeconds() override;
};

// The process-wide monotonic clock, used when no other clock is given.
DaemonClock* DefaultDaemonClock();
