// The matcher's worker pool: created by set-up, ended by close. A job is a number of independent tasks;
// the calling thread and the workers take them in turn, so no task waits for a particular processor.
#pragma once

#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class SgmPool {
 public:
  SgmPool() = default;
  SgmPool(const SgmPool&) = delete;
  SgmPool& operator=(const SgmPool&) = delete;
  ~SgmPool() { Stop(); }

  // Runs jobs on `threads` threads in all: the caller and threads - 1 workers, each pinned to a processor of its own
  // among those the process was given, read now (those beyond them roam, and never spin). The workers' processors
  // leave out the one that the thread calling Wake is pinned to (until then, the one the caller of Start runs on).
  void Start(unsigned long threads);
  // Ends the workers; later jobs run on the caller alone.
  void Stop();
  // Threads that run a job, the caller included.
  unsigned long threads() const { return workers_.size() + 1; }
  // Calls task(i) for every i below `tasks`, each once, and returns when all have finished.
  void Run(unsigned long tasks, const std::function<void(unsigned long)>& task);

  // Wakes the workers for a frame's jobs: from Wake to Rest they look for the next job between jobs instead of
  // sleeping (each for a bounded time), so that the frame pays for waking them once, not once per job. With `adapt`,
  // for a frame that changes its schedule while the processors are contended: the threads also measure the time they
  // go without their processors while they run the frame's tasks (in every kCalmWatchEvery-th such frame, and in the
  // one after a frame that lost time: the processor clocks cost a little). The workers stay on their processors
  // whatever the load: roaming threads met one another on a processor now and then, and lost more than the pinned
  // ones beside other programs of their priority.
  void Wake(bool adapt = false);
  void Rest();

  // True from the kLostFrames-th watched frame in a row in which the threads together went without their processors
  // for more than a share of the frame (kLostShare), until kCalmFrames watched frames in a row have not: other work
  // then shares the processors (a single such frame may have met a passing kernel task). Tasks that wait for one
  // another would wait for whichever thread lost its processor. Kept across Start and Stop: it belongs to the
  // machine, not to the threads.
  bool Contended() const { return contended_.load(std::memory_order_relaxed); }
  static constexpr long kLostShare = 8;  // an eighth
  static constexpr int kLostFrames = 3;
  static constexpr int kCalmFrames = 4;
  static constexpr int kCalmWatchEvery = 4;

  // Wake for its lifetime.
  class Awake {
   public:
    explicit Awake(SgmPool& pool, bool adapt = false) : pool_(pool) { pool_.Wake(adapt); }
    ~Awake() { pool_.Rest(); }
    Awake(const Awake&) = delete;
    Awake& operator=(const Awake&) = delete;

   private:
    SgmPool& pool_;
  };

 private:
  // Runs the tasks of every job after job `seen`, as worker `index`, on its processor.
  void WorkerLoop(unsigned long seen, unsigned long index);
  // Gives the workers the process's processors in turn from the first after `processor`, leaving it out; none to
  // those beyond them. Holds lock.
  void PlaceWorkersAfter(int processor);
  // A frame's caller not pinned, found on a worker's processor: that worker moves to the processor the caller left,
  // so that the two do not share one for a time slice. Holds lock.
  void HandOverHomeTo(int processor);
  // Looks, without the lock, for a job after `seen` until the time bound of the current state passes; false
  // when none came.
  bool AwaitJob(unsigned long seen) const;
  // Between frames that come at a steady rate, sleeps until a little before the next is due, then looks for it (or a
  // job after `seen`) for a while; returns at once otherwise. Holds lock.
  void AwaitDueFrame(std::unique_lock<std::mutex>& lock, unsigned long seen, unsigned long wakes_seen);
  // Takes the next task of the current job; false when none is left. Holds lock.
  bool TakeTask(unsigned long job, unsigned long& index);
  // Takes and runs tasks of job `job` until none is left, as the pool's thread `slot` (the workers by index, the
  // caller last); in a watched frame, counts the time the thread goes without its processor from its first task to
  // the end of its last. Holds lock.
  void RunTasks(std::unique_lock<std::mutex>& lock, unsigned long job, unsigned long slot);
  void Finish(std::unique_lock<std::mutex>& lock);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable job_posted_;
  std::condition_variable job_done_;
  const std::function<void(unsigned long)>* task_ = nullptr;
  unsigned long job_ = 0;        // number of the current job
  std::atomic<unsigned long> posted_{0};     // job_, readable without the lock by a worker that looks for the next
  std::atomic<unsigned long> completed_{0};  // the last job whose tasks have all finished, likewise for the caller
  unsigned long tasks_ = 0;      // its task count
  unsigned long next_task_ = 0;  // first task not yet taken
  unsigned long finished_ = 0;   // tasks finished
  unsigned long wakes_ = 0;      // number of the last Wake: a worker that slept through a frame wakes for the next
  std::atomic<unsigned long> wakes_posted_{0};  // wakes_, readable without the lock
  // When the last Wake came; while Wakes come at a steady rate, the mean time between them and the mean difference
  // of that time from the mean (both zero otherwise).
  std::chrono::steady_clock::time_point last_wake_;
  std::chrono::steady_clock::duration frame_period_{0};
  std::chrono::steady_clock::duration frame_jitter_{0};
  // The mean delay of the workers' timed wake-ups: how early they wake before a frame is due.
  std::chrono::steady_clock::duration wake_delay_{0};
  std::atomic<bool> awake_{false};  // between Wake and Rest
  std::vector<int> processors_;                // those the process was given, at Start
  std::unique_ptr<std::atomic<int>[]> homes_;  // each worker's processor to sleep on, -1 for none
  unsigned long homes_count_ = 0;
  cpu_set_t homes_set_{};                      // the processors of homes_
  int placed_after_ = -1;                      // the processor the homes leave out
  bool stopping_ = false;
  // Nanoseconds each thread went without its processor in the watched frame (the workers by index, the caller last).
  std::unique_ptr<std::atomic<long>[]> lost_;
  std::atomic<bool> watching_{false};
  std::atomic<bool> contended_{false};
  int lost_frames_ = 0;
  int calm_frames_ = 0;
  int unwatched_frames_ = 0;
};

// The pool of the one matcher of the process.
SgmPool& sgm_pool();
