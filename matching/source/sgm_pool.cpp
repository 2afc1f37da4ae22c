// Worker pool of the matcher.
#include "sgm_pool.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

#include "libtessaro.h"
#include "sgm_processor_loss.h"
#include "sgm_processors.h"
#include "sgm_spin.h"

namespace {

using Clock = std::chrono::steady_clock;

// A frame posts its jobs back to back: a worker that has just finished one looks for the next for a while before it
// sleeps, and the caller for the end of its job. Waking a thread whose processor has gone idle costs tens to
// hundreds of microseconds (on a virtual machine, the host must run the processor again), more than many a task
// takes. Inside a frame the look lasts longer, up to the longest gap a frame leaves between its jobs; outside it
// stays short, so that idle workers cost nothing between frames.
constexpr auto kLookInsideFrame = std::chrono::microseconds(2000);
constexpr auto kLookOutsideFrame = std::chrono::microseconds(50);
// Frames at most this far apart count as a steady rate (the camera's come every 50 ms). Between them a worker
// sleeps until the next is due less a lead of twice its timed wake-ups' delay and twice the rate's jitter (at least
// kLeastLead), then looks for the frame until as far past its due time. It costs each worker about the lead every
// frame and spares the frame its workers' wake-up: on a virtual machine the host takes up to half a millisecond to
// run an idle processor again, a fifth of a 320 x 240 frame. The lead stays within kMostLead; a rate whose jitter
// alone would pass it is too unsteady to be worth it.
constexpr auto kSteadiestPeriod = std::chrono::milliseconds(200);
constexpr auto kLeastLead = std::chrono::microseconds(100);
constexpr auto kMostLead = std::chrono::microseconds(1000);
constexpr int kMeanWeight = 4;  // a new measure counts a quarter in each mean

Clock::duration mean_with(Clock::duration mean, Clock::duration measure) {
  return mean == Clock::duration::zero() ? measure : ((kMeanWeight - 1) * mean + measure) / kMeanWeight;
}
constexpr int kPausesPerClockRead = 32;

// Calls done() until it is true or `bound` has passed; the result of the last call.
template <class Done, class Bound>
bool look(const Done& done, const Bound& bound) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    for (int i = 0; i < kPausesPerClockRead; ++i) {
      if (done()) return true;
      sgm_spin_pause();
    }
    if (Clock::now() - start >= bound()) return done();
  }
}

// The one processor the calling thread is pinned to, or -1.
int pinned_processor() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0 || CPU_COUNT(&set) != 1) return -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) return cpu;
  return -1;
}

}  // namespace

void SgmPool::PlaceWorkersAfter(int processor) {
  const unsigned long count = processors_.size();
  const unsigned long after =
      static_cast<unsigned long>(std::upper_bound(processors_.begin(), processors_.end(), processor) -
                                 processors_.begin());
  const bool inside = std::binary_search(processors_.begin(), processors_.end(), processor);
  const unsigned long placed = inside ? count - 1 : count;
  CPU_ZERO(&homes_set_);
  for (unsigned long i = 0; i < homes_count_; ++i) {
    const int home = i < placed ? processors_[(after + i) % count] : -1;
    if (home >= 0) CPU_SET(home, &homes_set_);
    homes_[i].store(home, std::memory_order_relaxed);
  }
  placed_after_ = processor;
}

void SgmPool::HandOverHomeTo(int processor) {
  if (processor < 0 || processor >= CPU_SETSIZE || !CPU_ISSET(processor, &homes_set_)) return;
  const bool left_free = placed_after_ >= 0 && placed_after_ < CPU_SETSIZE && !CPU_ISSET(placed_after_, &homes_set_) &&
                         std::binary_search(processors_.begin(), processors_.end(), placed_after_);
  for (unsigned long i = 0; i < homes_count_; ++i) {
    if (homes_[i].load(std::memory_order_relaxed) != processor) continue;
    homes_[i].store(left_free ? placed_after_ : -1, std::memory_order_relaxed);
    if (left_free) CPU_SET(placed_after_, &homes_set_);
  }
  CPU_CLR(processor, &homes_set_);
  placed_after_ = processor;
}

void SgmPool::Start(unsigned long threads) {
  Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
  // Each worker has a processor of its own. Left to roam, the workers that one wake-up rouses were often put on the
  // same idle processor and waited there, one behind the other, until the scheduler moved them: a frame after a
  // pause ran with two or three threads fewer for its first milliseconds.
  homes_count_ = threads > 1 ? threads - 1 : 0;
  homes_.reset(new std::atomic<int>[homes_count_]);
  lost_.reset(new std::atomic<long>[homes_count_ + 1]());
  watching_.store(false, std::memory_order_relaxed);
  processors_ = sgm_process_processors();
  const int pinned = pinned_processor();
  PlaceWorkersAfter(pinned >= 0 ? pinned : std::max(0, sched_getcpu()));
  // A worker starts from the job number of now, so that a job posted before it first runs is still its own.
  for (unsigned long i = 0; i < homes_count_; ++i) workers_.emplace_back(&SgmPool::WorkerLoop, this, job_, i);
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

void SgmPool::Wake(bool adapt) {
  if (workers_.empty()) return;
  // A frame's caller pinned to a processor (the camera's capture thread is) keeps it to itself from the next
  // sleep on.
  const int pinned = pinned_processor();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pinned >= 0 && pinned != placed_after_) {
      PlaceWorkersAfter(pinned);
    } else if (pinned < 0) {
      HandOverHomeTo(sched_getcpu());
    }
    ++wakes_;
    wakes_posted_.store(wakes_, std::memory_order_release);
    awake_.store(true, std::memory_order_relaxed);
    const bool contended = contended_.load(std::memory_order_relaxed);
    // A frame after one that lost time is watched too: the loss may have been a passing one.
    const bool watched = adapt && ((!contended && lost_frames_ > 0) || ++unwatched_frames_ >= kCalmWatchEvery);
    if (watched) unwatched_frames_ = 0;
    watching_.store(watched, std::memory_order_relaxed);
    const Clock::time_point now = Clock::now();
    const Clock::duration since = now - last_wake_;
    if (since > kSteadiestPeriod) {
      frame_period_ = frame_jitter_ = Clock::duration::zero();
    } else {
      const Clock::duration off = since > frame_period_ ? since - frame_period_ : frame_period_ - since;
      if (frame_period_ != Clock::duration::zero()) frame_jitter_ = mean_with(frame_jitter_, off);
      frame_period_ = mean_with(frame_period_, since);
    }
    last_wake_ = now;
  }
  job_posted_.notify_all();
}

void SgmPool::Rest() {
  awake_.store(false, std::memory_order_relaxed);
  if (!watching_.exchange(false, std::memory_order_relaxed)) return;
  // Every task of the frame has finished: their counts are in.
  const long frame = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - last_wake_).count();
  // Together: while one thread is without its processor, the tasks that wait for its results wait as well.
  long lost = 0;
  for (unsigned long i = 0; i <= homes_count_; ++i) lost += lost_[i].exchange(0);
  if (lost * kLostShare > frame) {
    calm_frames_ = 0;
    lost_frames_ = std::min(lost_frames_ + 1, kLostFrames);
    if (lost_frames_ == kLostFrames) contended_.store(true, std::memory_order_relaxed);
  } else {
    lost_frames_ = 0;
    if (contended_.load(std::memory_order_relaxed) && ++calm_frames_ >= kCalmFrames)
      contended_.store(false, std::memory_order_relaxed);
  }
}

void SgmPool::AwaitDueFrame(std::unique_lock<std::mutex>& lock, unsigned long seen, unsigned long wakes_seen) {
  // Also while the frame still runs: a worker done with it well before the frame returns wakes for the next one too.
  if (frame_period_ == Clock::duration::zero() || wakes_ != wakes_seen || !sgm_spin_allowed()) return;
  if (2 * frame_jitter_ > kMostLead) return;  // too unsteady to be worth it: sleep until the frame comes
  const Clock::duration lead = std::clamp<Clock::duration>(2 * (wake_delay_ + frame_jitter_), kLeastLead, kMostLead);
  const Clock::time_point start = last_wake_ + frame_period_ - lead;
  if (Clock::now() >= start) return;  // late already
  if (job_posted_.wait_until(lock, start, [&] { return stopping_ || job_ != seen || wakes_ != wakes_seen; })) return;
  wake_delay_ = mean_with(wake_delay_, Clock::now() - start);
  lock.unlock();
  look([&] { return posted_.load(std::memory_order_acquire) != seen ||
                    wakes_posted_.load(std::memory_order_acquire) != wakes_seen; },
       [&] { return 2 * lead; });
  lock.lock();
}

bool SgmPool::AwaitJob(unsigned long seen) const {
  if (!sgm_spin_allowed()) return false;
  return look([&] { return posted_.load(std::memory_order_acquire) != seen; },
              [&] { return awake_.load(std::memory_order_relaxed) ? kLookInsideFrame : kLookOutsideFrame; });
}

bool SgmPool::TakeTask(unsigned long job, unsigned long& index) {
  if (job != job_ || next_task_ >= tasks_) return false;
  index = next_task_++;
  return true;
}

void SgmPool::RunTasks(std::unique_lock<std::mutex>& lock, unsigned long job, unsigned long slot) {
  const bool watch = watching_.load(std::memory_order_relaxed);
  SgmLossClock clock;
  bool started = false;
  unsigned long index = 0;
  while (TakeTask(job, index)) {
    const std::function<void(unsigned long)>& task = *task_;
    lock.unlock();
    if (watch && !started) {
      clock.Start();
      started = true;
    }
    task(index);
    lock.lock();
    if (watch && next_task_ >= tasks_) {
      // This thread's part of the job ends with this task: counted before the task finishes, and with it the job.
      lock.unlock();
      lost_[slot].fetch_add(clock.Lost().count(), std::memory_order_relaxed);
      lock.lock();
    }
    Finish(lock);
  }
}

void SgmPool::Finish(std::unique_lock<std::mutex>& lock) {
  if (++finished_ == tasks_) {
    completed_.store(job_, std::memory_order_release);
    lock.unlock();
    job_done_.notify_all();
    lock.lock();
  }
}

void SgmPool::WorkerLoop(unsigned long seen, unsigned long index) {
  // Stays on a processor of its own, asleep and at work. Left to roam while it worked, a worker was often moved
  // onto the processor of another (workers that look for their next job make every processor look busy), and one
  // of the two then waited a whole time slice, about 2.3 ms, for the other: a third of the frames after a pause.
  constexpr int kRoams = -1, kNotPlaced = -2;
  int pinned_to = kNotPlaced;
  auto go_home = [&] {
    const int home = homes_[index].load(std::memory_order_relaxed);
    if (home >= 0 && home != pinned_to) {
      pinned_to = BindThreadToCpu(home) == 0 ? home : kNotPlaced;
    } else if (home < 0 && pinned_to != kRoams) {
      // No processor of its own (the threads asked for outnumber the processors left beside the frame's caller): it
      // roams over the process's processors.
      cpu_set_t all;
      CPU_ZERO(&all);
      for (const int processor : processors_) CPU_SET(processor, &all);
      sched_setaffinity(0, sizeof(all), &all);
      pinned_to = kRoams;
    }
    // Unpinned, it may share a processor with another of the pool's threads: it sleeps rather than spin there.
    sgm_spin_allowed() = pinned_to >= 0;
  };
  go_home();
  std::unique_lock<std::mutex> lock(mutex_);
  unsigned long wakes_seen = wakes_;
  for (;;) {
    lock.unlock();
    AwaitJob(seen);
    lock.lock();
    // Sleeps until a job is posted, or a frame begins that this worker has not woken for yet.
    AwaitDueFrame(lock, seen, wakes_seen);
    job_posted_.wait(lock, [&] { return stopping_ || job_ != seen || wakes_ != wakes_seen; });
    if (stopping_) return;
    if (wakes_ != wakes_seen) {
      // A frame's caller pinned elsewhere may have moved the homes.
      lock.unlock();
      go_home();
      lock.lock();
      wakes_seen = wakes_;
    }
    if (job_ == seen) continue;  // woken for a frame: look for its first job
    seen = job_;
    RunTasks(lock, seen, index);
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
  // The caller spins only on a processor that is no worker's home.
  const int processor = sched_getcpu();
  sgm_spin_allowed() = processor < 0 || processor >= CPU_SETSIZE || !CPU_ISSET(processor, &homes_set_);
  lock.unlock();
  job_posted_.notify_all();
  lock.lock();
  RunTasks(lock, job, homes_count_);
  // The last tasks are usually about to finish on other threads: look for that before sleeping.
  lock.unlock();
  if (sgm_spin_allowed()) {
    look([&] { return completed_.load(std::memory_order_acquire) == job; },
         [&] { return awake_.load(std::memory_order_relaxed) ? kLookInsideFrame : kLookOutsideFrame; });
  }
  lock.lock();
  job_done_.wait(lock, [&] { return finished_ == tasks_; });
  task_ = nullptr;
}

SgmPool& sgm_pool() {
  // Never destroyed: a forked child that exits without close must not join workers it does not have.
  static SgmPool* const pool = new SgmPool;
  return *pool;
}
