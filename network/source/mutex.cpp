// Recursive mutexes with a bounded wait: the one way every lock of the library is taken.
#include <cerrno>
#include <pthread.h>
#include <unistd.h>

#include "pelarin/foundation.h"

namespace {

constexpr useconds_t kBlockingRetryMicros = 10 * 1000;
constexpr useconds_t kMicrosPerMilli = 1000;
constexpr int kFirstBackoffMillis = 1;
constexpr int kShortestWaitingTimeout = 2;

}  // namespace

extern "C" {

int ThreadMutexCreate(pthread_mutex_t* mutex, const char* /*name*/) {
  if (mutex == nullptr) return kQeltNullArgument;
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return kQeltMutexCreate;
  int result = kQeltOk;
  if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) != 0 ||
      pthread_mutex_init(mutex, &attr) != 0) {
    result = kQeltMutexCreate;
  }
  pthread_mutexattr_destroy(&attr);
  return result;
}

int ThreadMutexDestory(pthread_mutex_t* mutex) {
  if (mutex == nullptr) return kQeltNullArgument;
  return pthread_mutex_destroy(mutex) == 0 ? kQeltOk : kQeltMutexDestroy;
}

// Timed lock: 0x7FFFFFFF blocks; otherwise try at once, then back off 1, 2, 4, ... ms while the
// step stays below the time-out (2000 ms gives up after 1 + 2 + ... + 1024 = 2047 ms).
int ThreadMutexLock(pthread_mutex_t* mutex, int timeout_ms) {
  if (mutex == nullptr) return kQeltNullArgument;
  if (timeout_ms == kMutexWaitForever) {
    int rc;
    while ((rc = pthread_mutex_lock(mutex)) == EAGAIN) usleep(kBlockingRetryMicros);
    if (rc == 0) return kQeltOk;
    return rc == EINVAL ? kQeltMutexInvalid : kQeltMutexLock;
  }
  int rc = pthread_mutex_trylock(mutex);
  if (timeout_ms >= kShortestWaitingTimeout) {
    for (int step = kFirstBackoffMillis; step < timeout_ms; step *= 2) {
      if (rc != EAGAIN && rc != EBUSY) break;
      usleep(static_cast<useconds_t>(step) * kMicrosPerMilli);
      rc = pthread_mutex_trylock(mutex);
    }
  }
  if (rc == 0) return kQeltOk;
  return rc == EAGAIN ? kQeltMutexBusy : kQeltMutexLock;
}

int ThreadMutexUnLock(pthread_mutex_t* mutex) {
  if (mutex == nullptr) return kQeltNullArgument;
  return pthread_mutex_unlock(mutex) == 0 ? kQeltOk : kQeltMutexUnlock;
}

}  // extern "C"
