// The matcher's threads stay within the processors the process was given, and count them: a child of this test
// program started on a few processors (as `taskset` starts a program) asks for 8 threads, matches frames, and checks
// where each of its threads may run and last ran.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

extern char** environ;

namespace {

constexpr const char* kCallerVariable = "SGM_PROCESSOR_SET_CALLER";  // "unpinned", or "pinned" to the set's first
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

// Run only as a child process, started on a few processors: matches from a thread of its own, unpinned or pinned to
// the first of them as the camera's capture thread is, and checks every thread's place.
TEST(ProcessorSetChild, DISABLED_MatchAndCheckThePlaces) {
  const char* caller = std::getenv(kCallerVariable);
  if (caller == nullptr) GTEST_SKIP() << "run by the ProcessorSet tests only";
  const std::set<int> given = OwnProcessors();
  const bool pinned = std::string(caller) == "pinned";
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
    libtessaro_close();
  });
  capture.join();
  libtessaro_close();
}

// Runs the child test with `caller`, started on `processors`: the test thread holds them while it starts the
// child, which inherits them as a program started by taskset does. True when the child's checks passed.
bool ChildPassesOn(const std::set<int>& processors, const std::string& caller) {
  const std::set<int> own = OwnProcessors();
  PinTo(processors);
  std::vector<std::string> variables{std::string(kCallerVariable) + "=" + caller};
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  for (std::string& variable : variables) environment.push_back(variable.data());
  environment.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=ProcessorSetChild.DISABLED_MatchAndCheckThePlaces";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* arguments[] = {program.data(), filter.data(), disabled.data(), nullptr};
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), nullptr, nullptr, arguments, environment.data());
  PinTo(own);
  if (spawned != 0) return false;
  int status = 0;
  waitpid(child, &status, 0);
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
  EXPECT_TRUE(ChildPassesOn(two, "unpinned"));
}

TEST(ProcessorSet, ACallerPinnedToOneProcessorGetsWorkersOnEachOtherOneOfTheProcess) {
  const std::set<int> three = SomeProcessors(3);
  if (three.size() < 3) GTEST_SKIP() << "fewer than three processors";
  EXPECT_TRUE(ChildPassesOn(three, "pinned"));
}

}  // namespace
