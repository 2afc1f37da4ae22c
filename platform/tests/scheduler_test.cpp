// DelayTaskScheduler: due order, first in first out, rescheduling in place, removal, release and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/delay_task_scheduler.h"
#include "platform/memory_manager.h"

namespace {
// What the task and release functions did, in order.
struct Journal {
  std::vector<std::string> entries;
};

struct Tagged {
  Journal* journal;
  std::string tag;
};

void RunTagged(void* argument) {
  Tagged* tagged = static_cast<Tagged*>(argument);
  tagged->journal->entries.push_back("run " + tagged->tag);
}

void ReleaseTagged(void* argument) {
  Tagged* tagged = static_cast<Tagged*>(argument);
  tagged->journal->entries.push_back("release " + tagged->tag);
}

std::uint64_t Now() {
  timeval now{};
  GetMonotonicTime(&now);
  return TimevalToMicroseconds(&now);
}

class Scheduler : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(scheduler_.Init(), RESULT_OK); }
  void TearDown() override { EXPECT_EQ(scheduler_.Deinit(), RESULT_OK); }

  BaseDelayTask* AddAt(std::uint64_t due, const std::string& tag, bool with_release = false) {
    tags_.push_back(NewObject<Tagged>(Tagged{&journal_, tag}));
    return scheduler_.AddTaskAt(due, RunTagged, with_release ? ReleaseTagged : nullptr, tags_.back());
  }

  ~Scheduler() override {
    for (Tagged* tag : tags_) DeleteObject(tag);
  }

  DelayTaskScheduler scheduler_;
  Journal journal_;
  std::vector<Tagged*> tags_;
};

using Entries = std::vector<std::string>;
}  // namespace

TEST_F(Scheduler, EqualDueTimesRunInTheOrderTheyWereAdded) {
  AddAt(300, "first 300");
  AddAt(100, "100");
  AddAt(300, "second 300");
  ASSERT_EQ(scheduler_.RunDueTasks(1000), RESULT_OK);
  EXPECT_EQ(journal_.entries, (Entries{"run 100", "run first 300", "run second 300"}));
}

TEST_F(Scheduler, TaskRunsExactlyAtItsDueTimeAndNotOneMicrosecondBefore) {
  AddAt(500, "t");
  ASSERT_EQ(scheduler_.RunDueTasks(499), RESULT_OK);
  EXPECT_TRUE(journal_.entries.empty());
  ASSERT_EQ(scheduler_.RunDueTasks(500), RESULT_OK);
  EXPECT_EQ(journal_.entries, (Entries{"run t"}));
  ASSERT_EQ(scheduler_.RunDueTasks(10000), RESULT_OK);
  EXPECT_EQ(journal_.entries.size(), 1u);  // ran once only
}

TEST_F(Scheduler, RescheduledTaskKeepsItsPlace) {
  AddAt(100, "A");
  BaseDelayTask* b = AddAt(200, "B");
  ASSERT_EQ(scheduler_.RescheduleTaskAt(b, 50), RESULT_OK);
  ASSERT_EQ(scheduler_.RunDueTasks(75), RESULT_OK);
  EXPECT_TRUE(journal_.entries.empty());  // the walk stops at A
  ASSERT_EQ(scheduler_.RunDueTasks(100), RESULT_OK);
  EXPECT_EQ(journal_.entries, (Entries{"run A", "run B"}));
}

TEST_F(Scheduler, ReleaseRunsAfterTheTaskAndNullReleaseIsSkipped) {
  AddAt(10, "with", true);
  AddAt(20, "without", false);
  ASSERT_EQ(scheduler_.RunDueTasks(30), RESULT_OK);
  EXPECT_EQ(journal_.entries, (Entries{"run with", "release with", "run without"}));
}

TEST_F(Scheduler, RemovedTaskIsReleasedButNeverRun) {
  BaseDelayTask* task = AddAt(10, "removed", true);
  ASSERT_EQ(scheduler_.RemoveTask(task), RESULT_OK);
  EXPECT_EQ(task, nullptr);
  EXPECT_EQ(scheduler_.RemoveTask(task), RESULT_FAILED);  // the cleared handle is not found
  ASSERT_EQ(scheduler_.RunDueTasks(100), RESULT_OK);
  EXPECT_EQ(journal_.entries, (Entries{"release removed"}));
}

TEST_F(Scheduler, HandleOfATaskThatRanIsSimplyNotFound) {
  BaseDelayTask* task = AddAt(10, "gone", false);
  ASSERT_EQ(scheduler_.RunDueTasks(10), RESULT_OK);
  EXPECT_EQ(scheduler_.RescheduleTaskAt(task, 5), RESULT_OK);
  EXPECT_EQ(scheduler_.RemoveTask(task), RESULT_FAILED);
  EXPECT_NE(task, nullptr);
}

namespace {
struct SelfAdding {
  DelayTaskScheduler* scheduler;
  Journal* journal;
  Tagged* follow_up;
};

void AddFollowUp(void* argument) {
  SelfAdding* self = static_cast<SelfAdding*>(argument);
  self->journal->entries.push_back("run adder");
  self->scheduler->AddTaskAt(0, RunTagged, nullptr, self->follow_up);
}
}  // namespace

TEST_F(Scheduler, TaskAddedByATaskRunsOnTheNextCall) {
  Tagged follow_up{&journal_, "follow-up"};
  SelfAdding self{&scheduler_, &journal_, &follow_up};
  scheduler_.AddTaskAt(0, AddFollowUp, nullptr, &self);
  ASSERT_EQ(scheduler_.RunDueTasks(100), RESULT_OK);
  EXPECT_EQ(journal_.entries, (Entries{"run adder"}));
  ASSERT_EQ(scheduler_.RunDueTasks(100), RESULT_OK);
  EXPECT_EQ(journal_.entries, (Entries{"run adder", "run follow-up"}));
}

namespace {
std::vector<std::string> g_arguments;
void RecordTwo(void* a, void* b) {
  g_arguments.push_back(static_cast<const char*>(a));
  g_arguments.push_back(static_cast<const char*>(b));
}
void RecordThree(void* a, void* b, void* c) {
  RecordTwo(a, b);
  g_arguments.push_back(static_cast<const char*>(c));
}
void ReleaseThree(void*, void*, void* c) { g_arguments.push_back(std::string("release ") + static_cast<const char*>(c)); }
}  // namespace

TEST_F(Scheduler, TwoAndThreeArgumentTasksGetTheirArgumentsInOrder) {
  g_arguments.clear();
  char a[] = "a", b[] = "b", c[] = "c", x[] = "x", y[] = "y";
  ASSERT_NE(scheduler_.AddTaskAt(20, RecordThree, ReleaseThree, a, b, c), nullptr);
  ASSERT_NE(scheduler_.AddTaskAt(10, RecordTwo, nullptr, x, y), nullptr);
  ASSERT_EQ(scheduler_.RunDueTasks(20), RESULT_OK);
  EXPECT_EQ(g_arguments, (Entries{"x", "y", "a", "b", "c", "release c"}));
}

TEST_F(Scheduler, RelativeDelayCountsFromTheMonotonicClock) {
  const std::uint64_t before = Now();
  tags_.push_back(NewObject<Tagged>(Tagged{&journal_, "later"}));
  BaseDelayTask* task = scheduler_.AddTask(1000000, RunTagged, nullptr, tags_.back());
  ASSERT_NE(task, nullptr);
  EXPECT_GE(task->due_time(), before + 1000000);
  EXPECT_LE(task->due_time(), Now() + 1000000);
  ASSERT_EQ(scheduler_.RunDueTasks(before), RESULT_OK);
  EXPECT_TRUE(journal_.entries.empty());
  ASSERT_EQ(scheduler_.RunDueTasks(Now() + 1000000), RESULT_OK);
  EXPECT_EQ(journal_.entries, (Entries{"run later"}));
}

TEST_F(Scheduler, ClearReleasesEveryTaskInListOrderWithoutRunningThem) {
  AddAt(30, "late", true);
  AddAt(10, "early", true);
  ASSERT_EQ(scheduler_.Clear(), RESULT_OK);
  EXPECT_EQ(journal_.entries, (Entries{"release early", "release late"}));
  ASSERT_EQ(scheduler_.RunDueTasks(100), RESULT_OK);
  EXPECT_EQ(journal_.entries.size(), 2u);
}

TEST(SchedulerLifetime, DeinitReleasesAndDestructorOnlyDeletes) {
  Journal journal;
  Tagged one{&journal, "one"};
  Tagged two{&journal, "two"};
  {
    DelayTaskScheduler scheduler;
    ASSERT_EQ(scheduler.Init(), RESULT_OK);
    scheduler.AddTaskAt(10, RunTagged, ReleaseTagged, &one);
    ASSERT_EQ(scheduler.Deinit(), RESULT_OK);
    EXPECT_EQ(journal.entries, (Entries{"release one"}));
  }
  {
    DelayTaskScheduler scheduler;
    ASSERT_EQ(scheduler.Init(), RESULT_OK);
    scheduler.AddTaskAt(10, RunTagged, ReleaseTagged, &two);
  }
  EXPECT_EQ(journal.entries, (Entries{"release one"}));
}

TEST(SchedulerConcurrency, TasksAddedFromManyThreadsRunExactlyOnce) {
  constexpr int kAdders = 4;
  constexpr int kTasksEach = 500;
  DelayTaskScheduler scheduler;
  ASSERT_EQ(scheduler.Init(), RESULT_OK);
  std::atomic<int> runs{0};
  std::atomic<int> releases{0};
  auto run = [](void* counter) { static_cast<std::atomic<int>*>(counter)->fetch_add(1); };
  std::atomic<int> adders_done{0};
  std::vector<std::thread> adders;
  for (int adder = 0; adder < kAdders; ++adder) {
    adders.emplace_back([&] {
      struct Done {
        std::atomic<int>* count;
        ~Done() { count->fetch_add(1); }
      } done{&adders_done};
      for (int task = 0; task < kTasksEach; ++task) {
        ASSERT_NE(scheduler.AddTaskAt(static_cast<std::uint64_t>(task), +run, nullptr, &runs), nullptr);
        BaseDelayTask* removable = scheduler.AddTaskAt(1u << 30, +run, +run, &releases);
        ASSERT_NE(removable, nullptr);
        ASSERT_EQ(scheduler.RemoveTask(removable), RESULT_OK);
      }
    });
  }
  while (adders_done.load() < kAdders) scheduler.RunDueTasks(kTasksEach);
  for (auto& adder : adders) adder.join();
  scheduler.RunDueTasks(kTasksEach);
  EXPECT_EQ(runs.load(), kAdders * kTasksEach);
  EXPECT_EQ(releases.load(), kAdders * kTasksEach);
  EXPECT_EQ(scheduler.Deinit(), RESULT_OK);
}
