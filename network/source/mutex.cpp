// Recursive mutexes with a bounded wait: the one way every lock of the library is taken.
#include <pthread.h>

#include <cerrno>

#include "pelarin/foundation.h"
#include "platform/backoff_lock.h"

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
    const int rc = backoff_lock::LockBlocking(mutex);
    if (rc == 0) return kQeltOk;
    return rc == EINVAL ? kQeltMutexInvalid : kQeltMutexLock;
  }
  const int rc = backoff_lock::LockWithBackOff(mutex, timeout_ms);
  if (rc == 0) return kQeltOk;
  return rc == EAGAIN ? kQeltMutexBusy : kQeltMutexLock;
}

int ThreadMutexUnLock(pthread_mutex_t* mutex) {
  if (mutex == nullptr) return kQeltNullArgument;
  return pthread_mutex_unlock(mutex) == 0 ? kQeltOk : kQeltMutexUnlock;
}

}  // extern "C"
