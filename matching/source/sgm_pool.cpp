// Worker pool of the matcher.
#include "sgm_pool.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// A frame posts its jobs back to back: a worker that has just finished one looks for the next for a little
// while before it sleeps, and the caller for the end of its job, which saves a wake-up per job (on a virtual
// machine, waking a thread whose processor has gone idle costs a good part of a small frame).
constexpr int kSpinsBeforeSleep = 4000;

void pause() {
#if defined(__x86_64__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

void SgmPool::Start(unsigned long threads) {
  Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
  // A worker starts from the job number of now, so that a job posted before it first runs is still its own.
  for (unsigned long i = 1; i < threads; ++i) workers_.emplace_back(&SgmPool::WorkerLoop, this, job_);
}

void SgmPool::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (workers_.empty()) return;
    stopping_ = true;
  }
  job_posted_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

bool SgmPool::TakeTask(unsigned long job, unsigned long& index) {
  if (job != job_ || next_task_ >= tasks_) return false;
  index = next_task_++;
  return true;
}

void SgmPool::Finish(std::unique_lock<std::mutex>& lock) {
  if (++finished_ == tasks_) {
    completed_.store(job_, std::memory_order_release);
    lock.unlock();
    job_done_.notify_all();
    lock.lock();
  }
}

void SgmPool::WorkerLoop(unsigned long seen) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    lock.unlock();
    for (int spin = 0; spin < kSpinsBeforeSleep && posted_.load(std::memory_order_acquire) == seen; ++spin) pause();
    lock.lock();
    job_posted_.wait(lock, [&] { return stopping_ || job_ != seen; });
    if (stopping_) return;
    seen = job_;
    unsigned long index = 0;
    while (TakeTask(seen, index)) {
      const std::function<void(unsigned long)>& task = *task_;
      lock.unlock();
      task(index);
      lock.lock();
      Finish(lock);
    }
  }
}

void SgmPool::Run(unsigned long tasks, const std::function<void(unsigned long)>& task) {
  if (tasks == 0) return;
  if (workers_.empty() || tasks == 1) {
    for (unsigned long i = 0; i < tasks; ++i) task(i);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  const unsigned long job = ++job_;
  posted_.store(job, std::memory_order_release);
  task_ = &task;
  tasks_ = tasks;
  next_task_ = 0;
  finished_ = 0;
  lock.unlock();
  job_posted_.notify_all();
  lock.lock();
  unsigned long index = 0;
  while (TakeTask(job, index)) {
    lock.unlock();
    task(index);
    lock.lock();
    Finish(lock);
  }
  // The last tasks are usually about to finish on other threads: look for that briefly before sleeping.
  lock.unlock();
  for (int spin = 0; spin < kSpinsBeforeSleep && completed_.load(std::memory_order_acquire) != job; ++spin) pause();
  lock.lock();
  job_done_.wait(lock, [&] { return finished_ == tasks_; });
  task_ = nullptr;
}

SgmPool& sgm_pool() {
  // Never destroyed: a forked child that exits without close must not join workers it does not have.
  static SgmPool* const pool = new SgmPool;
  return *pool;
}
