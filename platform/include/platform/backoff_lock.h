// The two ways a recursive POSIX mutex is taken: blocking, and a bounded back-off of timed tries.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

namespace backoff_lock {

// Blocks until `mutex` is held; EAGAIN (the recursion count is exhausted) is waited out in steps of
// 10 ms for the owner's own unlocks. Gives pthread_mutex_lock's last code.
inline int LockBlocking(pthread_mutex_t* mutex) {
  constexpr std::chrono::milliseconds kRecursionRetrySleep(10);
  int code;
  while ((code = pthread_mutex_lock(mutex)) == EAGAIN) std::this_thread::sleep_for(kRecursionRetrySleep);
  return code;
}

// Tries `mutex` at once, then again after sleeps of 1, 2, 4 ... ms while the step stays below
// `timeout_ms` and the mutex is only busy: 2000 ms gives up after 1 + 2 + ... + 1024 = 2047 ms, and
// a time-out of 1 ms or less makes a single try. Gives pthread_mutex_trylock's last code.
inline int LockWithBackOff(pthread_mutex_t* mutex, std::int64_t timeout_ms) {
  int code = pthread_mutex_trylock(mutex);
  for (std::int64_t step_ms = 1; step_ms < timeout_ms && (code == EAGAIN || code == EBUSY); step_ms *= 2) {
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    code = pthread_mutex_trylock(mutex);
  }
  return code;
}

}  // namespace backoff_lock
