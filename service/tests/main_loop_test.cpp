// The main loop's tick: a heartbeat only on a period boundary after a frame, and the due delay tasks.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "loopback_receiver.h"
#include "main_loop.h"
#include "process_state.h"

namespace {

constexpr std::int64_t kPeriod = 3;

class MainLoopTickTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_frame_seen.store(false);
    ASSERT_EQ(client_.Open("127.0.0.1", 0, "127.0.0.1", watchdog_.port(), "quarnel"), RESULT_OK);
    ASSERT_EQ(scheduler_.Init(), RESULT_OK);
  }
  void TearDown() override {
    client_.Close();
    scheduler_.Deinit();
  }
  // Runs one tick and tells whether it sent a heartbeat.
  bool TickSends(std::int64_t tick) {
    MainLoopTick(context_, tick, kPeriod);
    return watchdog_.TakeQueued().size() == kHeartbeatDatagramBytes;
  }

  LoopbackReceiver watchdog_;
  HeartbeatClient client_;
  DelayTaskScheduler scheduler_;
  MainLoopContext context_{&client_, &scheduler_, "quarnel", 1};
};

TEST_F(MainLoopTickTest, NoFramesNoHeartbeatEver) {
  for (std::int64_t tick = 1; tick <= 4 * kPeriod; ++tick) EXPECT_FALSE(TickSends(tick)) << tick;
}

TEST_F(MainLoopTickTest, FrameSendsOneHeartbeatAtTheNextPeriodBoundaryOnly) {
  EXPECT_FALSE(TickSends(1));
  g_frame_seen.store(true);  // a frame between ticks 1 and 2
  EXPECT_FALSE(TickSends(2));
  EXPECT_TRUE(TickSends(3));
  EXPECT_FALSE(g_frame_seen.load());
  for (std::int64_t tick = 4; tick <= 6; ++tick) EXPECT_FALSE(TickSends(tick)) << "no frame since: " << tick;
  g_frame_seen.store(true);
  EXPECT_FALSE(TickSends(7));
  EXPECT_FALSE(TickSends(8));
  EXPECT_TRUE(TickSends(9));
}

TEST_F(MainLoopTickTest, HeartbeatStopsWhenFramesStall) {
  std::int64_t tick = 1;
  for (; tick <= 3 * kPeriod; ++tick) {
    g_frame_seen.store(true);
    const bool sent = TickSends(tick);
    EXPECT_EQ(sent, tick % kPeriod == 0) << tick;
  }
  for (; tick <= 6 * kPeriod; ++tick) EXPECT_FALSE(TickSends(tick)) << "stalled: " << tick;
}

TEST_F(MainLoopTickTest, RunsDueDelayTasksOnEveryTick) {
  std::atomic<int> runs{0};
  scheduler_.AddTask(0, [](void* count) { ++*static_cast<std::atomic<int>*>(count); }, nullptr, &runs);
  MainLoopTick(context_, 1, kPeriod);
  EXPECT_EQ(runs.load(), 1);
  // A task due far ahead is left for later ticks.
  scheduler_.AddTask(3600ull * 1000000ull, [](void* count) { ++*static_cast<std::atomic<int>*>(count); }, nullptr,
                     &runs);
  MainLoopTick(context_, 2, kPeriod);
  EXPECT_EQ(runs.load(), 1);
}

TEST(MainLoop, FramesFromAnotherThreadBringHeartbeatsAndStopEndsTheLoop) {
  LoopbackReceiver watchdog;
  HeartbeatClient client;
  ASSERT_EQ(client.Open("127.0.0.1", 0, "127.0.0.1", watchdog.port(), "quarnel"), RESULT_OK);
  const MainLoopContext context{&client, nullptr, "quarnel", 1};
  std::thread loop([&context] { RunMainLoop(context); });
  // Frames keep arriving until a heartbeat has come in; then the loop is stopped.
  std::vector<unsigned char> datagram;
  while (datagram.empty()) {
    g_frame_seen.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    datagram = watchdog.TakeQueued();
  }
  RequestStop();
  loop.join();
  EXPECT_EQ(datagram.size(), kHeartbeatDatagramBytes);
  client.Close();
}

}  // namespace
