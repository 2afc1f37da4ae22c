// LinuxThread of the main program's copy: detached start, stack sizes, and threads outliving their objects.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "platform/memory_manager.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace {
struct Rendezvous {
  std::promise<std::int64_t> started;   // the thread's kernel id
  std::promise<void> may_finish;
  std::promise<void> finished;
};

void* RunUntilReleased(void* argument) {
  Rendezvous* rendezvous = static_cast<Rendezvous*>(argument);
  rendezvous->started.set_value(LinuxThread::GetCurrentThreadId());
  rendezvous->may_finish.get_future().wait();
  rendezvous->finished.set_value();
  return nullptr;
}

void* MarkRan(void* argument) {
  static_cast<std::atomic<bool>*>(argument)->store(true);
  return nullptr;
}
}  // namespace

TEST(LinuxThreadStart, DefaultStackRunsTheEntryWithItsArgument) {
  Rendezvous rendezvous;
  LinuxThread thread;
  ASSERT_EQ(thread.Create("capture", 0, RunUntilReleased, &rendezvous), RESULT_OK);
  ASSERT_EQ(thread.Start(), RESULT_OK);
  const std::int64_t thread_id = rendezvous.started.get_future().get();
  EXPECT_NE(thread_id, LinuxThread::GetCurrentThreadId());
  rendezvous.may_finish.set_value();
  rendezvous.finished.get_future().wait();
  EXPECT_EQ(thread.Destroy(), RESULT_OK);
}

TEST(LinuxThreadStart, ExplicitStackSizeIsAccepted) {
  Rendezvous rendezvous;
  LinuxThread thread;
  ASSERT_EQ(thread.Create(nullptr, 1024 * 1024, RunUntilReleased, &rendezvous), RESULT_OK);
  ASSERT_EQ(thread.Start(), RESULT_OK);
  rendezvous.started.get_future().wait();
  rendezvous.may_finish.set_value();
  rendezvous.finished.get_future().wait();
}

TEST(LinuxThreadStart, RefusedStackSizeStartsNothing) {
  std::atomic<bool> ran{false};
  LinuxThread thread;
  ASSERT_EQ(thread.Create(nullptr, 1, MarkRan, &ran), RESULT_OK);
  EXPECT_EQ(thread.Start(), RESULT_THREAD_ATTR_SET);
  EXPECT_FALSE(ran.load());
}

TEST(LinuxThreadStart, MissingEntryIsRefused) {
  LinuxThread thread;
  EXPECT_EQ(thread.Start(), RESULT_INVALID_ARGUMENT);
}

TEST(LinuxThreadLifetime, EntryKeepsRunningAfterDestroyAndDeletion) {
  Rendezvous rendezvous;
  LinuxThread* thread = NewObject<LinuxThread>();
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(thread->Create(nullptr, 0, RunUntilReleased, &rendezvous), RESULT_OK);
  ASSERT_EQ(thread->Start(), RESULT_OK);
  rendezvous.started.get_future().wait();
  EXPECT_EQ(thread->Destroy(), RESULT_OK);
  DeleteObject(thread);
  std::future<void> finished = rendezvous.finished.get_future();
  rendezvous.may_finish.set_value();
  finished.wait();
}

TEST(LinuxThreadOperations, MainThreadIdIsTheProcessId) {
  EXPECT_EQ(LinuxThread::GetCurrentThreadId(), static_cast<std::int64_t>(getpid()));
  EXPECT_EQ(BaseProcess::GetCurrentProcessId(), static_cast<std::int64_t>(getpid()));
  EXPECT_EQ(LinuxProcess::GetCurrentProcessId(), static_cast<std::int64_t>(getpid()));
}
