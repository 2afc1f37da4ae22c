// Thread classes: an abstract base and a Linux implementation that starts detached POSIX threads.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "platform/result.h"

typedef void* (*ThreadEntryFunction)(void* argument);

class BaseThread {
 public:
  virtual ~BaseThread();
  virtual Result Create(const char* name, std::size_t stack_size, ThreadEntryFunction entry, void* argument);
  virtual Result Destroy();
  virtual Result Start();
  virtual Result Suspend();
  virtual Result Resume();
  virtual Result Join();
};

class LinuxThread : public BaseThread {
 public:
  LinuxThread();
  // Leaves a running thread alone.
  ~LinuxThread() override;

  // Stores the stack size (0 = system default), the entry and its argument; the name is not used.
  Result Create(const char* name, std::size_t stack_size, ThreadEntryFunction entry, void* argument) override;
  // Does nothing: the owner stops its thread by its own means.
  Result Destroy() override;
  // Starts a detached thread running entry(argument).
  Result Start() override;
  Result Suspend() override;
  Result Resume() override;
  // The threads are detached, so there is nothing to join.
  Result Join() override;

  // Kernel thread id of the caller.
  static std::int64_t GetCurrentThreadId();

#ifdef PLATFORM_WATCHDOG_COPY
  // Trampoline of the watchdog's threads: runs the entry and argument it is given, then frees them.
  static void* ThreadEntry(void* start_record);
#endif

 private:
  pthread_t thread_id_;
  std::size_t stack_size_;
  ThreadEntryFunction entry_;
  void* argument_;
};
