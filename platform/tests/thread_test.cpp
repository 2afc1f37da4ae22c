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

TEST(LinuxThreadStart, DefaultAndExplicitStackRunTheEntryWithItsArgumentOnItsOwnThread) {
  for (std::uint32_t stack_bytes : {0u, 1024u * 1024u}) {
    Rendezvous rendezvous;
    LinuxThread thread;
    ASSERT_EQ(thread.Create("capture", stack_bytes, RunUntilReleased, &rendezvous), RESULT_OK);
    ASSERT_EQ(thread.Start(), RESULT_OK);
    EXPECT_NE(rendezvous.started.get_future().get(), LinuxThread::GetCurrentThreadId()) << stack_bytes;
    rendezvous.may_finish.set_value();
    rendezvous.finished.get_future().wait();
    EXPECT_EQ(thread.Destroy(), RESULT_OK);
  }
}

TEST(LinuxThreadStart, RefusedStackSizeOrMissingEntryStartsNothing) {
  std::atomic<bool> ran{false};
  LinuxThread thread;
  ASSERT_EQ(thread.Create(nullptr, 1, MarkRan, &ran), RESULT_OK);
  EXPECT_EQ(thread.Start(), RESULT_THREAD_ATTR_SET);
  EXPECT_FALSE(ran.load());
  LinuxThread empty;
  EXPECT_EQ(empty.Start(), RESULT_INVALID_ARGUMENT);
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
