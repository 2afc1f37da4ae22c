// Process table of the watchdog: deadlines on a settable clock, heartbeat name matching, the
// action sequence by restart count.
#include <cstring>
#include <vector>

#include "daemon_server.h"
#include "watchdog_test_support.h"

namespace {

using watchdog_test::BoardRootTest;
using watchdog_test::LogCapture;
using watchdog_test::ManualClock;

constexpr std::size_t kDatagramBytes = 4116;
constexpr const char* kRebootLine = "DaemonServer::RebootProcess, ProcessName=";

std::vector<char> Heartbeat(const std::string& name, std::size_t size = kDatagramBytes) {
  std::vector<char> datagram(size, '\0');
  if (size > kHeartbeatNameOffset) {
    std::memcpy(datagram.data() + kHeartbeatNameOffset, name.data(),
                std::min(name.size(), size - kHeartbeatNameOffset));
  }
  return datagram;
}

class ProcessTableTest : public BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    // Actions only append a line to a file of the test, so their count can be read back.
    starter_ = base_ / "starter";
    watchdog_test::WriteScript(starter_, "echo started >> " + (base_ / "starts.log").string());
  }

  Result Add(DaemonServer& server, const char* name, std::uint64_t period_ms, bool immediately = false,
             bool reboot = false) {
    return server.AddProcess(name, starter_.c_str(), "argument", period_ms, immediately, reboot);
  }

  void Beat(DaemonServer& server, const std::string& name) {
    std::vector<char> datagram = Heartbeat(name, kHeartbeatReceiveBytes);
    server.UpdateProcess(datagram.data(), datagram.size());
  }

  ManualClock clock_{100};
  LogCapture log_;
  watchdog_test::fs::path starter_;
};

TEST_F(ProcessTableTest, DeadlineIsHeartbeatPlusWholeSecondsOfThePeriod) {
  DaemonServer server(&clock_);
  ASSERT_EQ(Add(server, "quarnel", 5999), RESULT_OK);
  EXPECT_EQ(server.processes()[0].next_timeout, 105u);
  clock_.Set(103);
  Beat(server, "quarnel");
  EXPECT_EQ(server.processes()[0].next_timeout, 108u);
  EXPECT_EQ(log_.Count("DaemonServer::UpdateProcess, ProcessName=quarnel, NextTimeoutTime=108 \n"), 1u);
}

TEST_F(ProcessTableTest, ActionStartsOnlyWhenTheDeadlineIsStrictlyPast) {
  DaemonServer server(&clock_);
  ASSERT_EQ(Add(server, "quarnel", 5000), RESULT_OK);
  Beat(server, "quarnel");  // at second 100: deadline 105
  clock_.Set(105);
  server.CheckProcess();
  EXPECT_EQ(log_.Count(kRebootLine), 0u);
  EXPECT_EQ(server.processes()[0].restart_count, 0);
  clock_.Set(106);
  server.CheckProcess();
  EXPECT_EQ(log_.Count(kRebootLine), 1u);
  EXPECT_EQ(server.processes()[0].next_timeout, 111u);
  EXPECT_EQ(server.processes()[0].restart_count, 1);
}

TEST_F(ProcessTableTest, SilentProgramIsActedOnOncePerPeriodWithRisingCount) {
  DaemonServer server(&clock_);
  ASSERT_EQ(Add(server, "quarnel", 2000), RESULT_OK);
  for (std::uint64_t second = 100; second <= 110; ++second) {
    clock_.Set(second);
    server.CheckProcess();
  }
  // Deadline 102: acted on at 103, 106 and 109.
  EXPECT_EQ(log_.Count(kRebootLine), 3u);
  EXPECT_EQ(server.processes()[0].restart_count, 3);
  EXPECT_EQ(server.processes()[0].next_timeout, 111u);
}

TEST_F(ProcessTableTest, HeartbeatsKeepTheActionAway) {
  DaemonServer server(&clock_);
  ASSERT_EQ(Add(server, "quarnel", 1000), RESULT_OK);
  for (std::uint64_t second = 100; second <= 200; ++second) {
    clock_.Set(second);
    Beat(server, "quarnel");
    server.CheckProcess();
  }
  EXPECT_EQ(log_.Count(kRebootLine), 0u);
}

TEST_F(ProcessTableTest, PeriodBelowOneSecondIsRefused) {
  DaemonServer server(&clock_);
  EXPECT_EQ(Add(server, "quarnel", 999), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(Add(server, "quarnel", 0), RESULT_INVALID_ARGUMENT);
  EXPECT_TRUE(server.processes().empty());
  EXPECT_EQ(Add(server, "quarnel", 1000), RESULT_OK);
}

TEST_F(ProcessTableTest, ImmediateExecutionStartsAtRegistrationAndCountsOne) {
  DaemonServer server(&clock_);
  ASSERT_EQ(Add(server, "quarnel", 3000, true), RESULT_OK);
  EXPECT_EQ(log_.Count(kRebootLine), 1u);
  EXPECT_EQ(server.processes()[0].restart_count, 1);
  ASSERT_TRUE(watchdog_test::WaitForActions());
  EXPECT_EQ(watchdog_test::ReadWholeFile(base_ / "starts.log"), "started\n");
}

TEST_F(ProcessTableTest, NameMatchIsExactAndCaseSensitive) {
  DaemonServer server(&clock_);
  ASSERT_EQ(Add(server, "quarnel", 5000), RESULT_OK);
  clock_.Set(150);
  for (const char* other : {"Quarnel", "quarne", "quarnel2", " quarnel", ""}) Beat(server, other);
  EXPECT_EQ(server.processes()[0].next_timeout, 105u);
  Beat(server, "quarnel");
  EXPECT_EQ(server.processes()[0].next_timeout, 155u);
}

TEST_F(ProcessTableTest, DuplicateNamesRefreshOnlyTheFirst) {
  DaemonServer server(&clock_);
  ASSERT_EQ(Add(server, "quarnel", 5000), RESULT_OK);
  ASSERT_EQ(Add(server, "quarnel", 7000), RESULT_OK);
  clock_.Set(150);
  Beat(server, "quarnel");
  EXPECT_EQ(server.processes()[0].next_timeout, 155u);
  EXPECT_EQ(server.processes()[1].next_timeout, 107u);
}

TEST_F(ProcessTableTest, ShortDatagramsCarryNoName) {
  DaemonServer server(&clock_);
  ASSERT_EQ(Add(server, "", 5000), RESULT_OK);  // not even an empty name matches
  ASSERT_EQ(Add(server, "q", 5000), RESULT_OK);
  clock_.Set(150);
  for (std::size_t size : {0u, 1u, 19u, 20u}) {
    std::vector<char> datagram(size, 'q');
    EXPECT_EQ(server.UpdateProcess(datagram.data(), datagram.size()), RESULT_FAILED) << size;
  }
  EXPECT_EQ(server.processes()[0].next_timeout, 105u);
  EXPECT_EQ(server.processes()[1].next_timeout, 105u);
  // 21 bytes carry a one-letter name.
  std::vector<char> datagram = Heartbeat("q", 21);
  EXPECT_EQ(server.UpdateProcess(datagram.data(), datagram.size()), RESULT_OK);
  EXPECT_EQ(server.processes()[1].next_timeout, 155u);
}

TEST_F(ProcessTableTest, NameEndsWithTheBytesReceived) {
  // Without a terminator the name is what arrived, never what lies beyond it.
  const std::string text(kHeartbeatNameOffset, '\0');
  const std::string bytes = text + "quarnelXYZ";
  EXPECT_EQ(HeartbeatName(bytes.data(), kHeartbeatNameOffset + 7), "quarnel");
  EXPECT_EQ(HeartbeatName(bytes.data(), bytes.size()), "quarnelXYZ");
  std::vector<char> full = Heartbeat("quarnel");
  EXPECT_EQ(HeartbeatName(full.data(), kHeartbeatReceiveBytes), "quarnel");
}

TEST_F(ProcessTableTest, RemoveTakesTheFirstOfThatNameAndKeepsOrder) {
  DaemonServer server(&clock_);
  ASSERT_EQ(Add(server, "a", 1000), RESULT_OK);
  ASSERT_EQ(Add(server, "b", 2000), RESULT_OK);
  ASSERT_EQ(Add(server, "a", 3000), RESULT_OK);
  ASSERT_EQ(Add(server, "c", 4000), RESULT_OK);
  EXPECT_EQ(server.RemoveProcess("A"), RESULT_FAILED);
  EXPECT_EQ(server.RemoveProcess("a"), RESULT_OK);
  ASSERT_EQ(server.processes().size(), 3u);
  EXPECT_EQ(server.processes()[0].process_name, "b");
  EXPECT_EQ(server.processes()[1].check_period_ms, 3000u);
  EXPECT_EQ(server.processes()[2].process_name, "c");
}

}  // namespace
