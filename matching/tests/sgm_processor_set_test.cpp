// The matcher's threads stay within the processors the process was given, and count them: a child process started
// on a few processors (as `taskset` starts a program) asks for 8 threads, matches frames, and checks where each of
// its threads may run.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "matcher_test_support.h"
#include "sgm_pool.h"
#include "test_images.h"
#include "test_support/wait.h"

namespace {

std::set<int> ProcessorsOf(pid_t thread) {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::set<int> processors;
  if (sched_getaffinity(thread, sizeof(set), &set) != 0) return processors;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) processors.insert(cpu);
  return processors;
}

void PinTo(const std::set<int>& processors) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (const int processor : processors) CPU_SET(processor, &set);
  ASSERT_EQ(sched_setaffinity(0, sizeof(set), &set), 0);
}

// Where each thread of this process may run, by thread id.
std::vector<std::pair<pid_t, std::set<int>>> AllowedOfThreads() {
  std::vector<std::pair<pid_t, std::set<int>>> threads;
  DIR* tasks = opendir("/proc/self/task");
  while (const dirent* entry = tasks != nullptr ? readdir(tasks) : nullptr) {
    if (entry->d_name[0] == '.') continue;
    const pid_t thread = static_cast<pid_t>(std::atoi(entry->d_name));
    threads.emplace_back(thread, ProcessorsOf(thread));
  }
  if (tasks != nullptr) closedir(tasks);
  return threads;
}

void ExpectAllWithin(const std::set<int>& given) {
  for (const auto& [thread, allowed] : AllowedOfThreads()) {
    EXPECT_FALSE(allowed.empty());
    for (const int processor : allowed)
      EXPECT_EQ(given.count(processor), 1u) << "thread " << thread << " allowed on " << processor;
  }
}

// In a child process started on `given`: four- and eight-path frames asking for 8 threads, from a thread unpinned or
// pinned to the first of them as the camera's capture thread is; then the exposure's histogram workers.
void MatchAndCheckThePlaces(const std::set<int>& given, bool pinned) {
  std::thread capture([&] {
    if (pinned) PinTo({*given.begin()});
    const TestPair pair = MakeShiftedPair(60, 160, 5, 9, 3);
    std::vector<uint8_t> out(60 * 160);
    for (const int paths : {4, 8}) {
      tagSGMParameterSet set = MatcherParameters(60, 160, 0, 32);
      set.path_number = static_cast<uint64_t>(paths);
      set.thread_number = 8;
      ASSERT_EQ(libtessaro_setparam(set), 0);  // no OpenCL start-up in the child: it matches on the processors
      EXPECT_EQ(sgm_pool().threads(), given.size());
      for (int frame = 0; frame < 3; ++frame) {
        libtessaro_process(out.data(), pair.left.data(), pair.right.data(), false);
        ExpectAllWithin(given);
      }
    }
    // No worker stays pinned to the pinned caller's processor, once each has placed itself.
    const pid_t self = gettid();
    EXPECT_TRUE(!pinned || test_support::WaitUntil([&] {
      for (const auto& [thread, allowed] : AllowedOfThreads())
        if (thread != self && allowed == std::set<int>{*given.begin()}) return false;
      return true;
    }));
  });
  capture.join();
  libtessaro_close();
  // The last histogram worker pins itself to a full machine's sixth processor: within the given ones here.
  std::thread histogram([&] {
    unsigned int partial[256] = {};
    CalculateImageValueThread(nullptr, nullptr, partial, partial, 0, 0, 5);
    for (const int processor : ProcessorsOf(0)) EXPECT_EQ(given.count(processor), 1u) << "pinned to " << processor;
  });
  histogram.join();
}

// Runs MatchAndCheckThePlaces in a child started on `count` of this test's processors: every second one where there
// are enough (a set with gaps), else the first ones. True when its checks passed.
bool ChildPassesOn(unsigned long count, bool pinned) {
  const std::set<int> own = ProcessorsOf(0);
  const std::vector<int> ordered(own.begin(), own.end());
  std::set<int> given;
  for (size_t i = 0; i < ordered.size() && given.size() < count; i += ordered.size() >= 2 * count ? 2 : 1)
    given.insert(ordered[i]);
  PinTo(given);
  const pid_t child = fork();
  if (child == 0) {
    MatchAndCheckThePlaces(given, pinned);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  PinTo(own);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ProcessorSet, EightThreadsAskedForOnTwoProcessorsRunAsTwoThatStayOnThem) {
  if (ProcessorsOf(0).size() < 2) GTEST_SKIP() << "one processor";
  EXPECT_TRUE(ChildPassesOn(2, false));
}

TEST(ProcessorSet, ACallerPinnedToOneProcessorGetsWorkersOnEachOtherOneOfTheProcess) {
  if (ProcessorsOf(0).size() < 3) GTEST_SKIP() << "fewer than three processors";
  EXPECT_TRUE(ChildPassesOn(3, true));
}

}  // namespace
