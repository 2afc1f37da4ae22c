// LinuxMutex: a recursive POSIX mutex with a blocking lock and a bounded back-off lock.
#include "platform/mutex.h"

#include <cerrno>
#include <cstring>

#include "platform/backoff_lock.h"
#include "platform/memory_manager.h"

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
  const int error = backoff_lock::LockBlocking(&mutex_);
  if (error == 0) return RESULT_OK;
  return error == EINVAL ? RESULT_MUTEX_INVALID : RESULT_MUTEX_LOCK;
}

Result LinuxMutex::LockWithBackOff(std::uint32_t timeout_ms) {
  // Attempts at 0, 1, 3, 7 ... ms: the step doubles after each sleep until it reaches the time-out.
  const int error = backoff_lock::LockWithBackOff(&mutex_, timeout_ms);
  if (error == 0) return RESULT_OK;
  return error == EAGAIN ? RESULT_TIMEOUT : RESULT_MUTEX_LOCK;
}
