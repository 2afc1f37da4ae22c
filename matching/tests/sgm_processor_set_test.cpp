// The matcher's threads stay within the processors the process was given, and count them: a child process started
// on a few processors (as `taskset` starts a program) asks for 8 threads, matches frames, and checks where each of
// its threads may run and last ran.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "matcher_test_support.h"
#include "sgm_pool.h"
#include "test_images.h"
#include "test_support/file_text.h"
#include "test_support/wait.h"

namespace {

constexpr unsigned long kAskedThreads = 8;

// The processors of a "0-2,5" list.
std::set<int> ProcessorsOfList(const std::string& list) {
  std::set<int> processors;
  std::stringstream items(list);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t dash = item.find('-');
    const int first = std::stoi(item.substr(0, dash));
    const int last = dash == std::string::npos ? first : std::stoi(item.substr(dash + 1));
    for (int processor = first; processor <= last; ++processor) processors.insert(processor);
  }
  return processors;
}

struct ThreadPlace {
  pid_t thread = 0;
  std::set<int> allowed;  // where it may run
  int last = -1;          // where it ran last
};

// Every thread of this process, from /proc.
std::vector<ThreadPlace> PlacesOfThreads() {
  std::vector<ThreadPlace> places;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return places;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = std::string("/proc/self/task/") + entry->d_name;
    ThreadPlace place;
    place.thread = static_cast<pid_t>(std::atoi(entry->d_name));
    std::stringstream status(test_support::ReadWholeFile(task + "/status"));
    for (std::string line; std::getline(status, line);)
      if (line.rfind("Cpus_allowed_list:", 0) == 0) place.allowed = ProcessorsOfList(line.substr(line.find(':') + 1));
    // The processor last run on is the 39th field of stat; the fields after the name in brackets start at the 3rd.
    const std::string stat = test_support::ReadWholeFile(task + "/stat");
    std::stringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string field;
    for (int number = 3; number <= 39 && fields >> field; ++number)
      if (number == 39) place.last = std::stoi(field);
    places.push_back(place);
  }
  closedir(tasks);
  return places;
}

std::set<int> OwnProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::set<int> processors;
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return processors;
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

// Every thread may run and last ran only on `given`.
void ExpectAllWithin(const std::set<int>& given) {
  for (const ThreadPlace& place : PlacesOfThreads()) {
    EXPECT_FALSE(place.allowed.empty());
    for (const int processor : place.allowed) EXPECT_EQ(given.count(processor), 1u) << "allowed on " << processor;
    EXPECT_EQ(given.count(place.last), 1u) << "ran on " << place.last;
  }
}

// Four- and eight-path frames asking for kAskedThreads threads, the places checked after each (the early frames as
// well, before other work on the machine might make the workers roam).
void MatchFramesWithin(const std::set<int>& given) {
  for (const int paths : {4, 8}) {
    tagSGMParameterSet set = MatcherParameters(60, 160, 0, 32);
    set.path_number = static_cast<uint64_t>(paths);
    set.thread_number = kAskedThreads;
    ASSERT_EQ(libtessaro_setparam(set), 0);  // no OpenCL start-up in the child: it matches on the processors only
    // As many threads as the processors the process was given, however many were asked for.
    EXPECT_EQ(sgm_pool().threads(), given.size());
    const TestPair pair = MakeShiftedPair(60, 160, 5, 9, 3);
    std::vector<uint8_t> out(60 * 160);
    for (int frame = 0; frame < 3; ++frame) {
      libtessaro_process(out.data(), pair.left.data(), pair.right.data(), false);
      ExpectAllWithin(given);
    }
  }
}

// In a child process started on `given` (its only thread holds them, as a program started by taskset does): matches
// from a thread of its own, unpinned or pinned to the first of them as the camera's capture thread is, and checks
// every thread's place.
void MatchAndCheckThePlaces(const std::set<int>& given, bool pinned) {
  std::thread capture([&] {
    if (pinned) PinTo({*given.begin()});
    MatchFramesWithin(given);
    if (!pinned) return;
    // No worker stays pinned to the pinned caller's processor, once each has placed itself.
    const pid_t self = gettid();
    EXPECT_TRUE(test_support::WaitUntil([&] {
      for (const ThreadPlace& place : PlacesOfThreads())
        if (place.thread != self && place.allowed == std::set<int>{*given.begin()}) return false;
      return true;
    }));
  });
  capture.join();
  libtessaro_close();
  // The histogram workers of the exposure pin themselves within them too: the last one, to the sixth processor of a
  // machine's full set, here.
  std::thread histogram([&] {
    unsigned int partial[256] = {};
    CalculateImageValueThread(nullptr, nullptr, partial, partial, 0, 0, 5);
    for (const int processor : OwnProcessors()) EXPECT_EQ(given.count(processor), 1u) << "pinned to " << processor;
  });
  histogram.join();
}

// Runs MatchAndCheckThePlaces in a child process started on `processors`; true when its checks passed.
bool ChildPassesOn(const std::set<int>& processors, bool pinned) {
  const std::set<int> own = OwnProcessors();
  PinTo(processors);
  const pid_t child = fork();
  if (child == 0) {
    MatchAndCheckThePlaces(processors, pinned);
    std::fflush(stdout);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  PinTo(own);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// `count` processors of this test's own: every second one where there are enough (a set with gaps, where the
// processor after one of them is not in it), else the first ones.
std::set<int> SomeProcessors(unsigned long count) {
  const std::set<int> processors = OwnProcessors();
  const std::vector<int> own(processors.begin(), processors.end());
  const size_t step = own.size() >= 2 * count ? 2 : 1;
  std::set<int> some;
  for (size_t i = 0; i < own.size() && some.size() < count; i += step) some.insert(own[i]);
  return some;
}

TEST(ProcessorSet, EightThreadsAskedForOnTwoProcessorsRunAsTwoThatStayOnThem) {
  const std::set<int> two = SomeProcessors(2);
  if (two.size() < 2) GTEST_SKIP() << "one processor";
  EXPECT_TRUE(ChildPassesOn(two, false));
}

TEST(ProcessorSet, ACallerPinnedToOneProcessorGetsWorkersOnEachOtherOneOfTheProcess) {
  const std::set<int> three = SomeProcessors(3);
  if (three.size() < 3) GTEST_SKIP() << "fewer than three processors";
  EXPECT_TRUE(ChildPassesOn(three, true));
}

}  // namespace
