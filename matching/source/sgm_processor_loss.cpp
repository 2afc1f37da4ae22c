// Time without the processor, from the wall clock, the thread's processor-time clock and its chosen sleeps.
#include "sgm_processor_loss.h"

#include <time.h>

namespace {

std::chrono::nanoseconds thread_processor_time() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

std::chrono::nanoseconds& sgm_chosen_sleep() {
  thread_local std::chrono::nanoseconds slept{0};
  return slept;
}

void SgmLossClock::Start() {
  wall_ = std::chrono::steady_clock::now();
  processor_ = thread_processor_time();
  slept_ = sgm_chosen_sleep();
}

std::chrono::nanoseconds SgmLossClock::Lost() const {
  const std::chrono::nanoseconds lost = (std::chrono::steady_clock::now() - wall_) -
                                        (thread_processor_time() - processor_) - (sgm_chosen_sleep() - slept_);
  return lost > std::chrono::nanoseconds::zero() ? lost : std::chrono::nanoseconds::zero();
}
