// How long a thread at work went without its processor: the wall time of its work less the processor time it got
// and less the time it chose to sleep in a wait for another thread. What is left is time it was ready to run while
// other work ran on its processor.
#pragma once

#include <chrono>

// The time the calling thread has slept in waits for other threads so far; each such wait adds to it.
std::chrono::nanoseconds& sgm_chosen_sleep();

class SgmLossClock {
 public:
  // Starts counting now.
  void Start();
  // The time without the processor since Start.
  std::chrono::nanoseconds Lost() const;

 private:
  std::chrono::steady_clock::time_point wall_;
  std::chrono::nanoseconds processor_{0};
  std::chrono::nanoseconds slept_{0};
};
