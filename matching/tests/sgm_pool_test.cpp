// The matcher's worker pool: every task runs exactly once per job, jobs follow one another without
// leaking tasks, and a stopped pool runs jobs on the caller.
#include "sgm_pool.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
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

TEST(SgmPool, TasksSpreadOverThreadsAndAStoppedPoolRunsOnTheCaller) {
  SgmPool pool;
  pool.Start(4);
  // Each task waits until all four threads have arrived, which only happens when four threads run tasks.
  std::atomic<int> arrived{0};
  pool.Run(4, [&](unsigned long) {
    arrived.fetch_add(1);
    while (arrived.load() < 4) std::this_thread::yield();
  });
  EXPECT_EQ(arrived.load(), 4);
  pool.Stop();
  EXPECT_EQ(pool.threads(), 1u);
  std::set<std::thread::id> ran_on;
  pool.Run(10, [&](unsigned long) { ran_on.insert(std::this_thread::get_id()); });
  EXPECT_EQ(ran_on, std::set<std::thread::id>{std::this_thread::get_id()});
}

// Workers each keep a processor of their own, so that one wake-up cannot queue two of them on the same one.
TEST(SgmPool, WorkersArePinnedToProcessorsOfTheirOwn) {
  const unsigned long processors = std::max(1u, std::thread::hardware_concurrency());
  const unsigned long threads = std::min(4ul, processors);
  SgmPool pool;
  pool.Start(threads);
  std::mutex mutex;
  std::set<std::thread::id> seen;
  std::set<int> pinned_to;
  std::atomic<unsigned long> arrived{0};
  const std::thread::id caller = std::this_thread::get_id();
  pool.Run(threads, [&](unsigned long) {
    arrived.fetch_add(1);
    while (arrived.load() < threads) std::this_thread::yield();  // every thread takes one task
    if (std::this_thread::get_id() == caller) return;
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    ASSERT_EQ(CPU_COUNT(&set), 1);
    std::lock_guard<std::mutex> lock(mutex);
    seen.insert(std::this_thread::get_id());
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &set)) pinned_to.insert(cpu);
  });
  EXPECT_EQ(seen.size(), threads - 1);
  EXPECT_EQ(pinned_to.size(), threads - 1);
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

}  // namespace
