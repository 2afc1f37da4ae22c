// Action threads: each works on its own copy of the entry, and many in a row all finish cleanly.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "daemon_server.h"
#include "watchdog_test_support.h"

namespace {

using watchdog_test::BoardRootTest;
using watchdog_test::LogCapture;
using watchdog_test::ManualClock;

constexpr int kActionsInARow = 200;
constexpr int kEntries = 4;
constexpr int kLoadThreads = 2;

class ActionThreadTest : public BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    starter_ = base_ / "starter";
    watchdog_test::WriteScript(starter_, "echo started >> " + StartLog().string());
  }
  watchdog_test::fs::path StartLog() const { return base_ / "starts.log"; }

  LogCapture log_;
  watchdog_test::fs::path starter_;
};

TEST_F(ActionThreadTest, ActionUsesItsOwnCopyAfterTheEntryIsGone) {
  DaemonServer server;
  auto entry = std::make_unique<ProcessItem>();
  entry->process_name = "copied_name";
  entry->command_line = starter_.string();
  server.RebootProcess(*entry);
  // Overwrite, then free the entry while the action may still be starting.
  entry->process_name.assign(64, 'X');
  entry->command_line = "/nonexistent/should_not_run";
  entry.reset();
  ASSERT_TRUE(watchdog_test::WaitForActions());
  EXPECT_EQ(log_.Count("DaemonServer::Reboot, ProcessName=copied_name \n"), 1u);
  EXPECT_EQ(log_.Count("DaemonServer::Reboot, system Result=0 \n"), 1u);
  EXPECT_EQ(watchdog_test::ReadWholeFile(StartLog()), "started\n");
}

TEST_F(ActionThreadTest, TwoHundredActionsInARowUnderLoadAllFinish) {
  std::atomic<bool> loading{true};
  std::vector<std::thread> load;
  for (int i = 0; i < kLoadThreads; ++i) {
    load.emplace_back([&] {
      volatile std::uint64_t sink = 0;
      while (loading) sink = sink + 1;
    });
  }
  ManualClock clock(0);
  DaemonServer server(&clock);
  for (int i = 0; i < kEntries; ++i) {
    const std::string name = "load_" + std::to_string(i);
    ASSERT_EQ(server.AddProcess(name.c_str(), starter_.c_str(), "a", 1000, false, false), RESULT_OK);
  }
  // Each check two seconds later finds every silent entry overdue.
  for (int round = 1; round <= kActionsInARow / kEntries; ++round) {
    clock.Set(static_cast<std::uint64_t>(round) * 2);
    server.CheckProcess();
  }
  const bool finished = watchdog_test::WaitForActions();
  loading = false;
  for (std::thread& thread : load) thread.join();
  ASSERT_TRUE(finished);

  EXPECT_EQ(log_.Count("DaemonServer::RebootProcess, ProcessName=load_"), static_cast<std::size_t>(kActionsInARow));
  EXPECT_EQ(log_.Count("DaemonServer::Reboot, run_command="), static_cast<std::size_t>(kActionsInARow));
  // Every start succeeded; the first of each entry is a plain start, the rest kill first.
  EXPECT_EQ(log_.Count("DaemonServer::Reboot, system Result=0 \n"), static_cast<std::size_t>(kActionsInARow));
  EXPECT_EQ(log_.Count("DaemonServer::Reboot, kill_command=killall -9 load_"),
            static_cast<std::size_t>(kActionsInARow - kEntries));
  const std::string starts = watchdog_test::ReadWholeFile(StartLog());
  EXPECT_EQ(std::count(starts.begin(), starts.end(), '\n'), kActionsInARow);
  for (const ProcessItem& entry : server.processes()) EXPECT_EQ(entry.restart_count, kActionsInARow / kEntries);
}

}  // namespace
