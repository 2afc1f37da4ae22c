// State shared by the service interface's files: the API mutex and the signal watcher.
#pragma once

#include <pthread.h>

namespace qeltm {

pthread_mutex_t* ApiMutex();
// Make and destroy the API mutex; each only once per role.
void ApiMutexCreate();
void ApiMutexDestroy();
// Ends the thread that acts on a caught signal (nothing when none runs).
void SignalWatcherStop();

}  // namespace qeltm
