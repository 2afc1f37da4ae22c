// The matcher's worker pool: every task runs exactly once per job, jobs follow one another without
// leaking tasks, and a stopped pool runs jobs on the caller.
#include "sgm_pool.h"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
