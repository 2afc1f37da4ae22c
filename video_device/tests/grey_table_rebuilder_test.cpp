// The grey tables' rebuilder: a burst of offsets costs one rebuild after the running one and ends
// on the last offset; a stop lets the running rebuild finish and drops the waiting one.
#include "grey_table_rebuilder.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr auto kPatience = std::chrono::milliseconds(30000);
constexpr float kFailingOffset = -1.0f;

// A rebuild that records its offsets and, while the gate is shut, waits inside until it opens.
class GatedRebuilds {
 public:
  int Rebuild(float offset) {
    std::unique_lock<std::mutex> lock(mutex_);
    offsets_.push_back(offset);
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
    return offset == kFailingOffset ? 1 : 0;
  }
  bool WaitForEntries(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return offsets_.size() >= count; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::vector<float> offsets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return offsets_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<float> offsets_;
  bool open_ = false;
};

TEST(GreyTableRebuilder, BurstWhileARebuildRunsEndsWithOneRebuildForTheLastOffset) {
  GatedRebuilds rebuilds;
  GreyTableRebuilder rebuilder([&](const std::string&, float offset) { return rebuilds.Rebuild(offset); });
  rebuilder.Request("calibration.yml", 0.5f);
  ASSERT_TRUE(rebuilds.WaitForEntries(1));
  EXPECT_FALSE(rebuilder.WaitUntilIdle(std::chrono::milliseconds(0))) << "a rebuild runs";
  for (int step = 1; step <= 50; ++step) rebuilder.Request("calibration.yml", step == 49 ? kFailingOffset : 0.1f * step);
  // The failing offset was replaced before it was built; the one asked for alone fails.
  rebuilds.Open();
  ASSERT_TRUE(rebuilder.WaitUntilIdle(kPatience));
  EXPECT_EQ(rebuilds.offsets(), (std::vector<float>{0.5f, 0.1f * 50}));
  rebuilder.Request("calibration.yml", kFailingOffset);
  ASSERT_TRUE(rebuilder.WaitUntilIdle(kPatience));
  EXPECT_EQ(rebuilder.completed(), 3u);
  EXPECT_EQ(rebuilder.failed(), 1u);
}

TEST(GreyTableRebuilder, StopFinishesTheRunningRebuildDropsTheWaitingOneAndCanStartAgain) {
  GatedRebuilds rebuilds;
  GreyTableRebuilder rebuilder([&](const std::string&, float offset) { return rebuilds.Rebuild(offset); });
  rebuilder.Request("calibration.yml", 1.0f);
  ASSERT_TRUE(rebuilds.WaitForEntries(1));
  rebuilder.Request("calibration.yml", 2.0f);
  ASSERT_TRUE(rebuilder.pending());
  std::thread stopping([&] { rebuilder.Stop(); });
  const auto give_up = std::chrono::steady_clock::now() + kPatience;
  while (rebuilder.pending() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
  EXPECT_FALSE(rebuilder.pending()) << "the stop dropped the waiting offset";
  rebuilds.Open();
  stopping.join();
  EXPECT_EQ(rebuilds.offsets(), std::vector<float>{1.0f});
  EXPECT_TRUE(rebuilder.WaitUntilIdle(std::chrono::milliseconds(0)));

  rebuilder.Request("calibration.yml", 3.0f);
  ASSERT_TRUE(rebuilder.WaitUntilIdle(kPatience));
  EXPECT_EQ(rebuilds.offsets(), (std::vector<float>{1.0f, 3.0f}));
}

}  // namespace
