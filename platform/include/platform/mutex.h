// Mutex class: an abstract base and a recursive POSIX mutex with a bounded back-off lock.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "platform/result.h"

class BaseMutex {
 public:
  virtual ~BaseMutex();
  virtual Result Create();
  virtual Result Destroy();
  virtual Result Lock(std::uint32_t timeout_ms);
  virtual Result Unlock();
};

class LinuxMutex : public BaseMutex {
 public:
  LinuxMutex();
  ~LinuxMutex() override;

  // Initialises a recursive mutex: the owner may lock it again and unlocks it as often.
  Result Create() override;
  Result Destroy() override;
  // InfiniteTimeout() blocks; any other value makes non-blocking attempts with sleeps of
  // 1, 2, 4 ... ms between them until the step reaches the time-out.
  Result Lock(std::uint32_t timeout_ms) override;
  Result Unlock() override;

 private:
  Result LockWithoutLimit();
  Result LockWithBackOff(std::uint32_t timeout_ms);

  pthread_mutex_t mutex_;
};
