// The delay-task scheduler: tasks kept in due order and run by the thread that polls it.
#pragma once

#include <cstdint>
#include <list>

#include "platform/delay_task.h"
#include "platform/mutex.h"
#include "platform/result.h"

class DelayTaskScheduler {
 public:
  typedef OneParameterDelayTask::Function OneParameterFunction;
  typedef TwoParameterDelayTask::Function TwoParameterFunction;
  typedef ThreeParameterDelayTask::Function ThreeParameterFunction;

  DelayTaskScheduler();
  // Deletes the remaining tasks without releasing them.
  ~DelayTaskScheduler();

  Result Init();
  // Releases and deletes every task, then destroys the lock.
  Result Deinit();
  // Releases and deletes every task without taking the lock.
  Result Clear();

  // Adds a task due delay_us from now; the handle is null when the lock or allocation fails.
  BaseDelayTask* AddTask(std::uint64_t delay_us, OneParameterFunction task, OneParameterFunction release, void* a);
  BaseDelayTask* AddTask(std::uint64_t delay_us, TwoParameterFunction task, TwoParameterFunction release, void* a,
                         void* b);
  BaseDelayTask* AddTask(std::uint64_t delay_us, ThreeParameterFunction task, ThreeParameterFunction release,
                         void* a, void* b, void* c);
  BaseDelayTask* AddTaskAt(std::uint64_t due_us, OneParameterFunction task, OneParameterFunction release, void* a);
  BaseDelayTask* AddTaskAt(std::uint64_t due_us, TwoParameterFunction task, TwoParameterFunction release, void* a,
                           void* b);
  BaseDelayTask* AddTaskAt(std::uint64_t due_us, ThreeParameterFunction task, ThreeParameterFunction release,
                           void* a, void* b, void* c);
  // Inserts a built task in due order, taking ownership, without locking (the caller holds the lock).
  Result InsertTask(BaseDelayTask* task);

  // Releases and deletes the task without running it, and clears the caller's handle.
  Result RemoveTask(BaseDelayTask*& task);
  // Changes the due time in place; the task keeps its place in the list.
  Result RescheduleTask(BaseDelayTask* task, std::uint64_t delay_us);
  Result RescheduleTaskAt(BaseDelayTask* task, std::uint64_t due_us);

  // Runs, outside the lock, every task from the head that is due at now_us.
  Result RunDueTasks(std::uint64_t now_us);

 private:
  template <typename Task, typename Function, typename... Arguments>
  BaseDelayTask* AddTaskOfKind(std::uint64_t due_us, Function task, Function release, Arguments... arguments);
  static std::uint64_t NowMicroseconds();
  void ReleaseAndDeleteAll();

  std::list<BaseDelayTask*> tasks_;
  LinuxMutex mutex_;
};
