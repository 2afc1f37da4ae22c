// LinuxMutex: a recursive POSIX mutex with a blocking lock and a bounded back-off lock.
#include "platform/mutex.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/memory_manager.h"

namespace {
constexpr std::chrono::milliseconds kRecursionRetrySleep(10);
constexpr std::uint32_t kFirstBackOffStepMs = 1;
}  // namespace

LinuxMutex::LinuxMutex() { std::memset(&mutex_, 0, sizeof(mutex_)); }

LinuxMutex::~LinuxMutex() = default;

Result LinuxMutex::Create() {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return RESULT_MUTEX_ATTR_INIT;
  Result result = RESULT_OK;
  if (pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) != 0) {
    result = RESULT_MUTEX_ATTR_TYPE;
  } else if (pthread_mutex_init(&mutex_, &attributes) != 0) {
    result = RESULT_MUTEX_INIT;
  }
  pthread_mutexattr_destroy(&attributes);
  return result;
}

Result LinuxMutex::Destroy() { return pthread_mutex_destroy(&mutex_) == 0 ? RESULT_OK : RESULT_MUTEX_DESTROY; }

Result LinuxMutex::Unlock() { return pthread_mutex_unlock(&mutex_) == 0 ? RESULT_OK : RESULT_MUTEX_UNLOCK; }

Result LinuxMutex::Lock(std::uint32_t timeout_ms) {
  return timeout_ms == InfiniteTimeout() ? LockWithoutLimit() : LockWithBackOff(timeout_ms);
}

Result LinuxMutex::LockWithoutLimit() {
  int error;
  // EAGAIN: the recursion count is exhausted; wait for the owner's own unlocks.
  while ((error = pthread_mutex_lock(&mutex_)) == EAGAIN) std::this_thread::sleep_for(kRecursionRetrySleep);
  if (error == 0) return RESULT_OK;
  return error == EINVAL ? RESULT_MUTEX_INVALID : RESULT_MUTEX_LOCK;
}

Result LinuxMutex::LockWithBackOff(std::uint32_t timeout_ms) {
  // Attempts at 0, 1, 3, 7 ... ms: the step doubles after each sleep until it reaches the time-out.
  for (std::uint64_t step_ms = kFirstBackOffStepMs;; step_ms *= 2) {
    const int error = pthread_mutex_trylock(&mutex_);
    if (step_ms >= timeout_ms) {
      if (error == 0) return RESULT_OK;
      return error == EAGAIN ? RESULT_TIMEOUT : RESULT_MUTEX_LOCK;
    }
    if (error == 0) return RESULT_OK;
    if (error != EAGAIN && error != EBUSY) return RESULT_MUTEX_LOCK;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
}
