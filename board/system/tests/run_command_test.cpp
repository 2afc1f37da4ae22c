// System commands: commands run in the board root's world, and nothing sets this machine's clock,
// restarts it, or runs when the board root lacks the fake it needs.
#include "board/system_command.h"

#include <sys/wait.h>

#include <ctime>

#include "test_support/file_text.h"
#include "test_support/sentinel_board_root.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {
// 2020-01-01: the clock of this machine is past it; a fake date call aimed before it.
constexpr std::time_t kLongAgo = 1577836800;
}

using RunCommandTest = SentinelBoardRootTest;

TEST_F(RunCommandTest, RunsThroughTheShellWithTheRootsBinFirstAndTheRootPassedOn) {
  int status = board::RunCommand("echo \"$BOARD_ROOT|$PATH\" > /data/log/env.txt");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string seen = ReadWholeFile(root_ / "data" / "log" / "env.txt");
  EXPECT_EQ(seen.rfind(root_.string() + "|" + root_.string() + "/bin:", 0), 0u) << seen;
}

TEST_F(RunCommandTest, BoardPathsInCommandsLandUnderTheRoot) {
  fs::create_directories(root_ / "data" / "core");
  WriteWholeFile(root_ / "data" / "core" / "core.1", "x");
  WriteWholeFile(root_ / "data" / "core" / "core.2", "x");
  EXPECT_EQ(board::RunCommand("rm /data/core/*"), 0);
  EXPECT_TRUE(fs::is_empty(root_ / "data" / "core"));
  EXPECT_EQ(board::RunCommand("mkdir -p /data/log/sub && touch /data/log/sub/made"), 0);
  EXPECT_TRUE(fs::exists(root_ / "data" / "log" / "sub" / "made"));
}

TEST_F(RunCommandTest, ReturnsTheShellsWaitStatus) {
  int status = board::RunCommand("exit 3");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST_F(RunCommandTest, ClockAndRestartCommandsAreRefusedWithoutFakes) {
  for (const char* command :
       {"date 010100002000.00", "reboot", "sh -c reboot", "echo x; reboot", "echo $(date -s @0)",
        "/bin/date +%s", "/system/bin/reboot", "shutdown -r now", "halt", "poweroff",
        "hwclock --hctosys", "timedatectl set-time 2000-01-01", "systemctl reboot",
        "export X=1;reboot"}) {
    EXPECT_EQ(board::RunCommand(command), board::kCommandRefused) << command;
  }
  EXPECT_FALSE(fs::exists(SentinelLog())) << ReadWholeFile(SentinelLog());
  EXPECT_GT(std::time(nullptr), kLongAgo);
}

TEST_F(RunCommandTest, WithFakesDateRebootAndCpufreqOnlyLogTheirCalls) {
  InstallFakes();
  EXPECT_EQ(board::RunCommand("date 010100002000.00"), 0);
  EXPECT_EQ(board::RunCommand("reboot"), 0);
  EXPECT_EQ(board::RunCommand("/system/bin/cpufreq.sh"), 0);
  EXPECT_EQ(ReadWholeFile(FakeLog()), "date 010100002000.00\nreboot\ncpufreq.sh\n");
  EXPECT_GT(std::time(nullptr), kLongAgo) << "the clock of this machine was set";
  EXPECT_FALSE(fs::exists(SentinelLog()));
}

TEST_F(RunCommandTest, FakesDoNotOpenTheWayToOtherPrograms) {
  InstallFakes();
  EXPECT_EQ(board::RunCommand("/bin/date +%s"), board::kCommandRefused) << "the host's own date";
  EXPECT_EQ(board::RunCommand("shutdown -r now"), board::kCommandRefused);
  EXPECT_EQ(board::RunCommand("killall -9 x; reboot"), board::kCommandRefused);
  EXPECT_FALSE(fs::exists(FakeLog()));
  EXPECT_FALSE(fs::exists(SentinelLog()));
}

TEST_F(RunCommandTest, RootThatCannotBePastedIntoACommandIsRefused) {
  fs::create_directories(base_ / "a b");
  setenv("BOARD_ROOT", (base_ / "a b").c_str(), 1);
  EXPECT_EQ(board::RunCommand("touch /data/x"), board::kCommandRefused);
  setenv("BOARD_ROOT", (base_.string() + "/r;rm").c_str(), 1);
  EXPECT_EQ(board::RunCommand("true"), board::kCommandRefused);
}
