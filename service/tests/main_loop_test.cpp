// The main loop's tick: a heartbeat only on a period boundary after a frame, and the due delay tasks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "main_loop.h"
#include "pelarin/proxy_passes.h"
#include "process_state.h"
#include "test_support/loopback.h"
#include "test_support/wait.h"

using test_support::WaitUntil;

namespace {

using test_support::LoopbackReceiver;

constexpr std::int64_t kPeriod = 3;
constexpr auto kPoll = std::chrono::milliseconds(2);

// A proxy thread of the real network library whose pass the test can hold inside.
std::atomic<bool> g_hold_pass{false};
std::atomic<bool> g_pass_held{false};
int HoldablePass(std::uint8_t*, std::uint32_t) {
  while (g_hold_pass.load()) {
    g_pass_held.store(true);
    std::this_thread::sleep_for(kPoll);
  }
  g_pass_held.store(false);
  std::this_thread::sleep_for(kPoll);
  return 0;
}

std::uint64_t Passes(std::uint32_t thread) {
  std::uint64_t passes = 0;
  ProxyThreadPasses(thread, &passes);
  return passes;
}

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
  // Runs one tick and tells whether a heartbeat from it arrived; one that the tick reports sent is
  // waited for, so it cannot turn up at a later tick instead.
  bool TickSends(std::int64_t tick) {
    if (MainLoopTick(context_, tick, kPeriod)) {
      EXPECT_TRUE(watchdog_.WaitQueued()) << tick;
    }
    return watchdog_.TakeQueued().size() == kHeartbeatDatagramBytes;
  }

  LoopbackReceiver watchdog_;
  HeartbeatClient client_;
  DelayTaskScheduler scheduler_;
  MainLoopContext context_{&client_, &scheduler_, "quarnel", 1, nullptr};
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

TEST_F(MainLoopTickTest, HeartbeatStopsWhileAServerPassIsBlockedThoughFramesFlow) {
  constexpr std::uint32_t kThread = kProxyEnterZuqClient;
  ServerProgress progress;
  context_.server_progress = &progress;
  ProxyRegisterStep(kThread, HoldablePass);
  ASSERT_EQ(ProxyThreadStart(kThread), 0);
  const std::uint64_t at_start = Passes(kThread);
  ASSERT_TRUE(WaitUntil([&] { return Passes(kThread) > at_start; }));
  g_frame_seen.store(true);
  EXPECT_TRUE(TickSends(kPeriod));  // the first look at a running thread sees it start

  g_hold_pass.store(true);
  ASSERT_TRUE(WaitUntil([] { return g_pass_held.load(); }));
  g_frame_seen.store(true);
  TickSends(2 * kPeriod);  // may still see the passes made before the hold
  for (std::int64_t period = 3; period <= 5; ++period) {
    g_frame_seen.store(true);
    EXPECT_FALSE(TickSends(period * kPeriod)) << "held, period " << period;
  }

  g_hold_pass.store(false);
  const std::uint64_t held_at = Passes(kThread);
  ASSERT_TRUE(WaitUntil([&] { return Passes(kThread) > held_at; }));
  g_frame_seen.store(true);
  EXPECT_TRUE(TickSends(6 * kPeriod));
  StopEnterZUQClientProxyProcess();
  ProxyRegisterStep(kThread, nullptr);
  // A thread that no longer runs is not waited for.
  g_frame_seen.store(true);
  EXPECT_TRUE(TickSends(7 * kPeriod));
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
  const MainLoopContext context{&client, nullptr, "quarnel", 1, nullptr};
  std::thread loop([&context] { RunMainLoop(context); });
  // Frames keep arriving until a heartbeat has come in (or the patience ends); then the loop is stopped.
  std::vector<unsigned char> datagram;
  const bool heard = WaitUntil([&] {
    g_frame_seen.store(true);
    datagram = watchdog.TakeQueued();
    return !datagram.empty();
  });
  RequestStop();
  loop.join();
  EXPECT_TRUE(heard);
  EXPECT_EQ(datagram.size(), kHeartbeatDatagramBytes);
  client.Close();
}

TEST(MainLoop, FirstHeartbeatGoesOutWithinASecondOfServingNotAfterAWholeInterval) {
  constexpr std::int32_t kLongIntervalSeconds = 3600;
  LoopbackReceiver watchdog;
  HeartbeatClient client;
  ASSERT_EQ(client.Open("127.0.0.1", 0, "127.0.0.1", watchdog.port(), "quarnel"), RESULT_OK);
  ServerProgress progress;
  const MainLoopContext context{&client, nullptr, "quarnel", kLongIntervalSeconds, &progress};
  std::thread loop([&context] { RunMainLoop(context); });
  const bool heard = WaitUntil([&] {
    g_frame_seen.store(true);
    return !watchdog.TakeQueued().empty();
  });
  RequestStop();
  loop.join();
  EXPECT_TRUE(heard);
  client.Close();
}

}  // namespace

namespace {

// Whether loop tick `tick` sends a heartbeat when frames flowed, as RunMainLoop hands it on.
bool LooksAt(const HeartbeatSchedule& schedule, std::int64_t tick) {
  const HeartbeatSchedule::Look look = schedule.LookAt(tick);
  return look.tick % look.period == 0;
}

TEST(HeartbeatSchedule, EverySecondUntilTheFirstHeartbeatThenAWholeIntervalFromIt) {
  constexpr std::int64_t kInterval = 5 * kTicksPerSecond;
  HeartbeatSchedule schedule(kInterval, kTicksPerSecond);
  EXPECT_FALSE(LooksAt(schedule, kTicksPerSecond - 1));
  EXPECT_TRUE(LooksAt(schedule, kTicksPerSecond));
  EXPECT_TRUE(LooksAt(schedule, 4 * kTicksPerSecond));
  // The first heartbeat goes out 4 s into the loop: none until a whole interval after it, also not
  // at the loop's own multiple of the interval.
  const std::int64_t first = 4 * kTicksPerSecond;
  schedule.Sent(first);
  for (std::int64_t tick = first + 1; tick < first + kInterval; ++tick) ASSERT_FALSE(LooksAt(schedule, tick)) << tick;
  EXPECT_TRUE(LooksAt(schedule, first + kInterval));
  // A look that sent nothing (no frames) keeps the grid: the next one is an interval later.
  EXPECT_FALSE(LooksAt(schedule, first + kInterval + kTicksPerSecond));
  EXPECT_TRUE(LooksAt(schedule, first + 2 * kInterval));
  schedule.Sent(first + 2 * kInterval);
  EXPECT_TRUE(LooksAt(schedule, first + 3 * kInterval));
}

}  // namespace
