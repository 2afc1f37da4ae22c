// The library log (cut at 255 characters, callback or standard output) and the timed locks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "net_helpers.h"
#include "pelarin/foundation.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(Log, LongMessageReachesTheCallbackCutTo255Characters) {
  nettest::LogCapture log;
  const std::string text(300, 'x');
  Qeltmlog(0, "%s", text.c_str());
  Socketlog(0, "%s", text.c_str());
  const auto lines = log.Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(std::string(255, 'x'), lines[0]);
  EXPECT_EQ(std::string(255, 'x'), lines[1]);
}

TEST(Log, WithoutACallbackLinesGoToStandardOutput) {
  SocketRegisterLogImageFunc(nullptr);
  testing::internal::CaptureStdout();
  Qeltmlog(0, "plain %d", 42);
  EXPECT_EQ("plain 42\n", testing::internal::GetCapturedStdout());
}

TEST(Log, CallbackCanBeCalledFromManyThreadsAtOnce) {
  nettest::LogCapture log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) Qeltmlog(0, "line %d", i);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(2000u, log.Count("line "));
}

class TimedLock : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kQeltOk, ThreadMutexCreate(&mutex_, "test")); }
  void TearDown() override { EXPECT_EQ(kQeltOk, ThreadMutexDestory(&mutex_)); }

  // Holds the mutex on another thread until released.
  void HoldElsewhere() {
    holder_ = std::thread([this] {
      ThreadMutexLock(&mutex_, kMutexWaitForever);
      held_ = true;
      while (!release_) std::this_thread::yield();
      ThreadMutexUnLock(&mutex_);
    });
    while (!held_) std::this_thread::yield();
  }
  void Release() {
    release_ = true;
    holder_.join();
  }

  pthread_mutex_t mutex_;
  std::thread holder_;
  std::atomic<bool> held_{false}, release_{false};
};

// A mutex held elsewhere gives up with 62 after backing off 1, 2, 4 ... ms up to the time-out
// (1 + 2 + ... + 1024 ms for two seconds; a single try at 1 ms or less); once released it is taken
// at once.
TEST_F(TimedLock, HeldElsewhereGivesUpWith62AfterTheWholeBackoff) {
  HoldElsewhere();
  const std::pair<int, int> timeout_and_least_millis[] = {{-5, 0}, {0, 0}, {1, 0},  {2, 1},
                                                          {3, 3},  {9, 15}, {2000, 2047}};
  for (const auto& [timeout, least] : timeout_and_least_millis) {
    const auto start = Clock::now();
    EXPECT_EQ(kQeltMutexLock, ThreadMutexLock(&mutex_, timeout)) << timeout;
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(least)) << timeout;
  }
  Release();
  EXPECT_EQ(kQeltOk, ThreadMutexLock(&mutex_, 0));
  EXPECT_EQ(kQeltOk, ThreadMutexUnLock(&mutex_));
}

TEST_F(TimedLock, WaiterGetsTheMutexOnceItIsReleased) {
  HoldElsewhere();
  std::thread releaser([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Release();
  });
  EXPECT_EQ(kQeltOk, ThreadMutexLock(&mutex_, kMutexWaitForever));
  EXPECT_EQ(kQeltOk, ThreadMutexUnLock(&mutex_));
  releaser.join();
}

TEST_F(TimedLock, OwnerLocksAgainAtOnceAndUnlocksAsOften) {
  ASSERT_EQ(kQeltOk, ThreadMutexLock(&mutex_, 0));
  ASSERT_EQ(kQeltOk, ThreadMutexLock(&mutex_, 2000));
  ASSERT_EQ(kQeltOk, ThreadMutexUnLock(&mutex_));
  int other = -1;
  std::thread([&] { other = ThreadMutexLock(&mutex_, 0); }).join();
  EXPECT_EQ(kQeltMutexLock, other) << "still held once";
  ASSERT_EQ(kQeltOk, ThreadMutexUnLock(&mutex_));
  std::thread([&] {
    other = ThreadMutexLock(&mutex_, 0);
    ThreadMutexUnLock(&mutex_);
  }).join();
  EXPECT_EQ(kQeltOk, other);
}

}  // namespace
