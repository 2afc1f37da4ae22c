// LinuxMutex: recursion, the blocking lock and the bounded back-off lock with its timings.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/memory_manager.h"
#include "platform/mutex.h"

namespace {
using Clock = std::chrono::steady_clock;

// Holds a mutex on its own thread until told to let go.
class Holder {
 public:
  explicit Holder(LinuxMutex* mutex) {
    std::promise<void> locked;
    std::future<void> is_locked = locked.get_future();
    thread_ = std::thread([this, mutex, locked = std::move(locked)]() mutable {
      mutex->Lock(InfiniteTimeout());
      locked.set_value();
      release_.get_future().wait();
      mutex->Unlock();
    });
    is_locked.wait();
  }
  ~Holder() {
    Release();
    thread_.join();
  }
  void Release() {
    if (!released_.exchange(true)) release_.set_value();
  }

 private:
  std::promise<void> release_;
  std::atomic<bool> released_{false};
  std::thread thread_;
};

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Tries the lock from another thread (a recursive mutex always admits its owner).
Result LockFromOtherThread(LinuxMutex* mutex, std::uint32_t timeout_ms) {
  return std::async(std::launch::async, [mutex, timeout_ms] {
           const Result result = mutex->Lock(timeout_ms);
           if (result == RESULT_OK) mutex->Unlock();
           return result;
         }).get();
}
}  // namespace

class LinuxMutexTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mutex_.Create(), RESULT_OK); }
  void TearDown() override { EXPECT_EQ(mutex_.Destroy(), RESULT_OK); }
  LinuxMutex mutex_;
};

TEST_F(LinuxMutexTest, RecursiveLockNeedsAsManyUnlocks) {
  ASSERT_EQ(mutex_.Lock(InfiniteTimeout()), RESULT_OK);
  ASSERT_EQ(mutex_.Lock(InfiniteTimeout()), RESULT_OK);
  EXPECT_EQ(LockFromOtherThread(&mutex_, 0), RESULT_MUTEX_LOCK);
  ASSERT_EQ(mutex_.Unlock(), RESULT_OK);
  EXPECT_EQ(LockFromOtherThread(&mutex_, 0), RESULT_MUTEX_LOCK);
  ASSERT_EQ(mutex_.Unlock(), RESULT_OK);
  EXPECT_EQ(LockFromOtherThread(&mutex_, 0), RESULT_OK);
}

TEST_F(LinuxMutexTest, FreeMutexIsTakenAtOnceWithAnyTimeout) {
  for (std::uint32_t timeout : {0u, 1u, 2u, 3u, 2000u}) {
    ASSERT_EQ(mutex_.Lock(timeout), RESULT_OK) << timeout;
    ASSERT_EQ(mutex_.Unlock(), RESULT_OK);
  }
}

// A held mutex ends every back-off with the lock code, after sleeping whole doubling steps before
// the last attempt: 2 ms -> 1; 3 ms -> 1 + 2; 9 ms -> 1 + 2 + 4 + 8; 2000 ms -> 1 + 2 + ... + 1024.
TEST_F(LinuxMutexTest, HeldMutexEndsEveryBackOffWithTheLockCodeAfterWholeDoublingSteps) {
  Holder holder(&mutex_);
  const std::pair<std::uint32_t, double> schedule[] = {{0, 0.0}, {1, 0.0},  {2, 1.0},  {3, 3.0},
                                                       {4, 3.0}, {5, 3.0}, {9, 15.0}, {2000, 2047.0}};
  for (const auto& [timeout, least_ms] : schedule) {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(mutex_.Lock(timeout), RESULT_MUTEX_LOCK) << timeout;
    EXPECT_GE(MillisecondsSince(start), least_ms) << timeout;
  }
}

// Both the back-off and the blocking lock get the mutex once the holder lets go.
TEST_F(LinuxMutexTest, WaitingLockGetsTheMutexOnceTheHolderLetsGo) {
  for (std::uint32_t timeout : {2000u, InfiniteTimeout()}) {
    std::atomic<bool> released{false};
    Holder holder(&mutex_);
    std::thread releaser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      released = true;
      holder.Release();
    });
    EXPECT_EQ(mutex_.Lock(timeout), RESULT_OK) << timeout;
    EXPECT_TRUE(released.load());
    EXPECT_EQ(mutex_.Unlock(), RESULT_OK);
    releaser.join();
  }
}
