// DelayTaskScheduler: tasks in due order (equal due times first in, first out), run outside the lock.
#include "platform/delay_task_scheduler.h"

#include <algorithm>

#include "platform/memory_manager.h"

BaseDelayTask::~BaseDelayTask() = default;

DelayTaskScheduler::DelayTaskScheduler() = default;

DelayTaskScheduler::~DelayTaskScheduler() {
  for (BaseDelayTask* task : tasks_) DeleteObject(task);
}

std::uint64_t DelayTaskScheduler::NowMicroseconds() {
  timeval now{};
  GetMonotonicTime(&now);
  return TimevalToMicroseconds(&now);
}

Result DelayTaskScheduler::Init() { return mutex_.Create(); }

void DelayTaskScheduler::ReleaseAndDeleteAll() {
  for (BaseDelayTask* task : tasks_) task->Release();
  for (BaseDelayTask* task : tasks_) DeleteObject(task);
  tasks_.clear();
}

Result DelayTaskScheduler::Deinit() {
  const Result locked = mutex_.Lock(InfiniteTimeout());
  if (locked != RESULT_OK) return locked;
  ReleaseAndDeleteAll();
  mutex_.Unlock();
  return mutex_.Destroy();
}

Result DelayTaskScheduler::Clear() {
  ReleaseAndDeleteAll();
  return RESULT_OK;
}

Result DelayTaskScheduler::InsertTask(BaseDelayTask* task) {
  if (task == nullptr) return RESULT_INVALID_ARGUMENT;
  // After the last task due no later than this one, so equal due times keep their order.
  auto after = std::find_if(tasks_.rbegin(), tasks_.rend(),
                            [task](const BaseDelayTask* queued) { return queued->due_time() <= task->due_time(); });
  try {
    tasks_.insert(after.base(), task);
  } catch (const std::bad_alloc&) {
    return RESULT_OUT_OF_MEMORY;
  }
  return RESULT_OK;
}

template <typename Task, typename Function, typename... Arguments>
BaseDelayTask* DelayTaskScheduler::AddTaskOfKind(std::uint64_t due_us, Function task, Function release,
                                                 Arguments... arguments) {
  if (mutex_.Lock(InfiniteTimeout()) != RESULT_OK) return nullptr;
  Task* created = NewObject<Task>(due_us, task, release, arguments...);
  if (created != nullptr && InsertTask(created) != RESULT_OK) {
    DeleteObject(created);
    created = nullptr;
  }
  mutex_.Unlock();
  return created;
}

BaseDelayTask* DelayTaskScheduler::AddTaskAt(std::uint64_t due_us, OneParameterFunction task,
                                             OneParameterFunction release, void* a) {
  return AddTaskOfKind<OneParameterDelayTask>(due_us, task, release, a);
}

BaseDelayTask* DelayTaskScheduler::AddTaskAt(std::uint64_t due_us, TwoParameterFunction task,
                                             TwoParameterFunction release, void* a, void* b) {
  return AddTaskOfKind<TwoParameterDelayTask>(due_us, task, release, a, b);
}

BaseDelayTask* DelayTaskScheduler::AddTaskAt(std::uint64_t due_us, ThreeParameterFunction task,
                                             ThreeParameterFunction release, void* a, void* b, void* c) {
  return AddTaskOfKind<ThreeParameterDelayTask>(due_us, task, release, a, b, c);
}

BaseDelayTask* DelayTaskScheduler::AddTask(std::uint64_t delay_us, OneParameterFunction task,
                                           OneParameterFunction release, void* a) {
  return AddTaskAt(NowMicroseconds() + delay_us, task, release, a);
}

BaseDelayTask* DelayTaskScheduler::AddTask(std::uint64_t delay_us, TwoParameterFunction task,
                                           TwoParameterFunction release, void* a, void* b) {
  return AddTaskAt(NowMicroseconds() + delay_us, task, release, a, b);
}

BaseDelayTask* DelayTaskScheduler::AddTask(std::uint64_t delay_us, ThreeParameterFunction task,
                                           ThreeParameterFunction release, void* a, void* b, void* c) {
  return AddTaskAt(NowMicroseconds() + delay_us, task, release, a, b, c);
}

Result DelayTaskScheduler::RemoveTask(BaseDelayTask*& task) {
  const Result locked = mutex_.Lock(InfiniteTimeout());
  if (locked != RESULT_OK) return locked;
  const auto found = std::find(tasks_.begin(), tasks_.end(), task);
  if (task == nullptr || found == tasks_.end()) {
    mutex_.Unlock();
    return RESULT_FAILED;
  }
  task->Release();
  tasks_.erase(found);
  DeleteObject(task);
  task = nullptr;
  mutex_.Unlock();
  return RESULT_OK;
}

Result DelayTaskScheduler::RescheduleTask(BaseDelayTask* task, std::uint64_t delay_us) {
  return RescheduleTaskAt(task, NowMicroseconds() + delay_us);
}

Result DelayTaskScheduler::RescheduleTaskAt(BaseDelayTask* task, std::uint64_t due_us) {
  const Result locked = mutex_.Lock(InfiniteTimeout());
  if (locked != RESULT_OK) return locked;
  // Found by identity, so the handle of a task that already ran is never touched.
  const auto found = std::find(tasks_.begin(), tasks_.end(), task);
  if (found != tasks_.end()) (*found)->set_due_time(due_us);
  mutex_.Unlock();
  return RESULT_OK;
}

Result DelayTaskScheduler::RunDueTasks(std::uint64_t now_us) {
  const Result locked = mutex_.Lock(InfiniteTimeout());
  if (locked != RESULT_OK) return locked;
  std::list<BaseDelayTask*> due;
  auto first_not_due = std::find_if(tasks_.begin(), tasks_.end(),
                                    [now_us](const BaseDelayTask* task) { return task->IsDue(now_us) != RESULT_OK; });
  due.splice(due.end(), tasks_, tasks_.begin(), first_not_due);
  mutex_.Unlock();

  for (BaseDelayTask* task : due) {
    task->Execute();
    task->Release();
  }
  for (BaseDelayTask* task : due) DeleteObject(task);
  return RESULT_OK;
}
