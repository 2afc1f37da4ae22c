// The matcher's worker pool: every task runs exactly once per job, jobs follow one another without
// leaking tasks, and a stopped pool runs jobs on the caller.
#include "sgm_pool.h"
#include "test_support/wait.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

TEST(SgmPool, EveryTaskOfManyJobsRunsOnceWhateverTheThreadCount) {
  for (unsigned long threads : {1ul, 2ul, 8ul, 13ul}) {
    SgmPool pool;
    pool.Start(threads);
    EXPECT_EQ(pool.threads(), threads);
    for (unsigned long tasks : {0ul, 1ul, 3ul, 64ul, 200ul}) {
      for (int job = 0; job < 20; ++job) {
        std::vector<std::atomic<int>> runs(tasks);
        pool.Run(tasks, [&](unsigned long i) { runs[i].fetch_add(1); });
        for (unsigned long i = 0; i < tasks; ++i) ASSERT_EQ(runs[i].load(), 1) << threads << " threads, task " << i;
      }
    }
  }
}

// Each task waits until every thread has arrived, which only happens when all of them run tasks: freshly started,
// woken for a frame, and woken for a job after they have gone to sleep (a wake-up passes from worker to worker).
TEST(SgmPool, TasksSpreadOverEveryThreadAndAStoppedPoolRunsOnTheCaller) {
  constexpr unsigned long kThreads = 8;
  SgmPool pool;
  pool.Start(kThreads);
  auto every_thread_arrives = [&] {
    std::atomic<unsigned long> arrived{0};
    pool.Run(kThreads, [&](unsigned long) {
      arrived.fetch_add(1);
      while (arrived.load() < kThreads) std::this_thread::yield();
    });
    return arrived.load();
  };
  EXPECT_EQ(every_thread_arrives(), kThreads);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  pool.Wake();
  EXPECT_EQ(every_thread_arrives(), kThreads);
  pool.Rest();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(every_thread_arrives(), kThreads);
  pool.Stop();
  EXPECT_EQ(pool.threads(), 1u);
  std::set<std::thread::id> ran_on;
  pool.Run(10, [&](unsigned long) { ran_on.insert(std::this_thread::get_id()); });
  EXPECT_EQ(ran_on, std::set<std::thread::id>{std::this_thread::get_id()});
}

// The processors the given workers are pinned to, once each of them is pinned to one (waited for, bounded).
std::set<int> HomeProcessors(const std::set<pid_t>& workers) {
  std::set<int> processors;
  for (const pid_t worker : workers) {
    cpu_set_t set;
    test_support::WaitUntil([&] {
      EXPECT_EQ(sched_getaffinity(worker, sizeof(set), &set), 0);
      return CPU_COUNT(&set) == 1;
    });
    EXPECT_EQ(CPU_COUNT(&set), 1) << "worker " << worker << " is not pinned";
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &set)) processors.insert(cpu);
  }
  return processors;
}

// Each worker keeps a processor of its own, asleep and at work, so that neither a wake-up nor the scheduler puts
// two workers on one processor.
TEST(SgmPool, WorkersRunAndSleepOnProcessorsOfTheirOwn) {
  const unsigned long processors = std::max(1u, std::thread::hardware_concurrency());
  if (processors < 2) GTEST_SKIP() << "one processor";
  const unsigned long threads = std::min(4ul, processors);
  SgmPool pool;
  pool.Start(threads);
  std::mutex mutex;
  std::set<pid_t> workers;
  std::set<int> working_on;
  std::atomic<unsigned long> arrived{0};
  const pid_t caller = static_cast<pid_t>(syscall(SYS_gettid));
  pool.Run(threads, [&](unsigned long) {
    arrived.fetch_add(1);
    while (arrived.load() < threads) std::this_thread::yield();  // every thread takes one task
    const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    if (self == caller) return;
    std::lock_guard<std::mutex> lock(mutex);
    workers.insert(self);
    working_on.insert(sched_getcpu());
  });
  ASSERT_EQ(workers.size(), threads - 1);
  EXPECT_EQ(working_on.size(), threads - 1);
  const std::set<int> homes = HomeProcessors(workers);
  EXPECT_EQ(homes.size(), threads - 1);
  EXPECT_EQ(homes, working_on);

  // A frame called from a thread pinned to a processor (as the camera's capture thread is) keeps it to itself.
  const int capture = static_cast<int>(processors - 1);
  cpu_set_t own, capture_only;
  ASSERT_EQ(sched_getaffinity(0, sizeof(own), &own), 0);
  CPU_ZERO(&capture_only);
  CPU_SET(capture, &capture_only);
  ASSERT_EQ(sched_setaffinity(0, sizeof(capture_only), &capture_only), 0);
  pool.Wake();
  arrived.store(0);
  working_on.clear();
  pool.Run(threads, [&](unsigned long) {
    arrived.fetch_add(1);
    while (arrived.load() < threads) std::this_thread::yield();  // every worker has woken and moved
    const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    if (self == caller) return;
    std::lock_guard<std::mutex> lock(mutex);
    working_on.insert(sched_getcpu());
  });
  pool.Rest();
  ASSERT_EQ(sched_setaffinity(0, sizeof(own), &own), 0);
  EXPECT_EQ(working_on.count(capture), 0u);
  EXPECT_EQ(HomeProcessors(workers), working_on);
}

// Jobs inside a frame's wake find workers that look for them; after the frame the pool still runs every task once.
TEST(SgmPool, JobsOfAWokenFrameAndAfterItRunEveryTaskOnce) {
  SgmPool pool;
  pool.Start(3);
  for (int frame = 0; frame < 50; ++frame) {
    const bool awake = frame % 2 == 0;
    if (awake) pool.Wake();
    for (int job = 0; job < 4; ++job) {
      std::vector<std::atomic<int>> runs(17);
      pool.Run(runs.size(), [&](unsigned long i) { runs[i].fetch_add(1); });
      for (const std::atomic<int>& run : runs) ASSERT_EQ(run.load(), 1) << "frame " << frame;
    }
    if (awake) pool.Rest();
  }
}

// Frames at a steady rate find workers that woke ahead of them and look for their jobs; every task still runs once,
// and when the frames stop, the workers stop looking: an idle pool costs next to no processor time.
TEST(SgmPool, WorkersThatWakeAheadOfSteadyFramesRunEveryTaskOnceAndRestWhenFramesStop) {
  SgmPool pool;
  pool.Start(4);
  auto due = std::chrono::steady_clock::now();
  for (int frame = 0; frame < 30; ++frame) {
    due += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(due);
    pool.Wake();
    for (int job = 0; job < 3; ++job) {
      std::vector<std::atomic<int>> runs(11);
      pool.Run(runs.size(), [&](unsigned long i) { runs[i].fetch_add(1); });
      for (const std::atomic<int>& run : runs) ASSERT_EQ(run.load(), 1) << "frame " << frame;
    }
    pool.Rest();
  }
  auto processor_time = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  };
  const auto before = processor_time();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Each of the three workers looks once more, for at most two milliseconds, for the frame that does not come.
  EXPECT_LT(processor_time() - before, std::chrono::milliseconds(30));
}

// Two threads of the pool on one processor, each with work for it, go without the processor while the other runs:
// the pool finds the frames contended (its workers then roam, and five to eight paths run as independent families).
TEST(SgmPool, ThreadsThatShareTheirProcessorMakeTheFramesContended) {
  cpu_set_t own, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof(own), &own), 0);
  int processor = 0;
  while (!CPU_ISSET(processor, &own)) ++processor;
  CPU_ZERO(&one);
  CPU_SET(processor, &one);
  // The test's thread is the process's main thread: the process now has one processor.
  ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  SgmPool pool;
  pool.Start(2);
  EXPECT_FALSE(pool.Contended());
  auto processor_time = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  };
  // Frames enough that the last ones are watched.
  for (int frame = 0; frame < SgmPool::kCalmWatchEvery + SgmPool::kLostFrames - 1; ++frame) {
    pool.Wake(true);
    std::atomic<int> arrived{0};
    pool.Run(2, [&](unsigned long) {
      arrived.fetch_add(1);
      while (arrived.load() < 2) std::this_thread::yield();  // both threads have a task
      const auto start = processor_time();
      while (processor_time() - start < std::chrono::milliseconds(20)) {
      }
    });
    pool.Rest();
  }
  EXPECT_TRUE(pool.Contended());
  pool.Stop();
  ASSERT_EQ(sched_setaffinity(0, sizeof(own), &own), 0);
}

}  // namespace
