// System commands: kill by name reaches the board root's own processes and no others.
#include "board/system_command.h"
#include "board_kill.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "test_support/file_text.h"
#include "test_support/sentinel_board_root.h"
#include "test_support/wait.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

bool Contains(const std::vector<int>& pids, pid_t pid) {
  return std::find(pids.begin(), pids.end(), static_cast<int>(pid)) != pids.end();
}

class BoardKillTest : public SentinelBoardRootTest {
 protected:
  void SetUp() override {
    SentinelBoardRootTest::SetUp();
    name_ = "bksleep" + std::to_string(getpid() % 100000);
    program_ = base_ / name_;
    fs::copy_file("/bin/sleep", program_);
  }

  void TearDown() override {
    for (pid_t pid : started_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    SentinelBoardRootTest::TearDown();
  }

  // Starts the copied sleeper with the given board root in its environment (none when empty).
  pid_t Start(const fs::path& program, const std::string& board_root) {
    std::string arg0 = program.string(), seconds = "600";
    char* argv[] = {arg0.data(), seconds.data(), nullptr};
    std::string env_root = "BOARD_ROOT=" + board_root;
    char* with_root[] = {env_root.data(), nullptr};
    char* without_root[] = {nullptr};
    pid_t pid = 0;
    int result = posix_spawn(&pid, arg0.c_str(), nullptr, nullptr, argv,
                             board_root.empty() ? without_root : with_root);
    EXPECT_EQ(result, 0);
    started_.push_back(pid);
    WaitUntilRunning(pid, program.string());
    return pid;
  }

  // The spawn returns while the new program may still be taking over the process: wait until
  // its arguments and environment are in place, as the kill reads them.
  static void WaitUntilRunning(pid_t pid, const std::string& name) {
    const fs::path arguments = "/proc/" + std::to_string(pid) + "/cmdline";
    if (WaitUntil([&] { return ReadWholeFile(arguments).rfind(name + '\0', 0) == 0; })) return;
    ADD_FAILURE() << "process " << pid << " never became " << name;
  }

  // Waits for the process's end and says which signal ended it (0: not a signal).
  int EndingSignal(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    started_.erase(std::remove(started_.begin(), started_.end(), pid), started_.end());
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

  std::string name_;
  fs::path program_;
  std::vector<pid_t> started_;
};

}  // namespace

TEST_F(BoardKillTest, KillallReachesOnlyTheProcessesOfThisRoot) {
  const std::string other_root = (base_ / "other").string();
  pid_t ours = Start(program_, root_.string());
  pid_t theirs = Start(program_, other_root);
  pid_t host = Start(program_, "");
  auto selected = board::BoardProcessesNamed(name_, root_.string());
  EXPECT_TRUE(Contains(selected, ours));
  EXPECT_FALSE(Contains(selected, theirs));
  EXPECT_FALSE(Contains(selected, host));

  ASSERT_EQ(board::RunCommand("killall -9 " + name_), 0);
  EXPECT_EQ(EndingSignal(ours), SIGKILL);
  EXPECT_EQ(kill(theirs, 0), 0);
  EXPECT_EQ(kill(host, 0), 0);
  int status = board::RunCommand("killall -9 " + name_);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "no process of this root is left";
}

TEST_F(BoardKillTest, PkillSendsTheNamedSignal) {
  pid_t ours = Start(program_, root_.string());
  ASSERT_EQ(board::RunCommand("pkill -TERM " + name_), 0);
  EXPECT_EQ(EndingSignal(ours), SIGTERM);
  pid_t again = Start(program_, root_.string());
  ASSERT_EQ(board::RunCommand("killall -s SIGINT " + name_), 0);
  EXPECT_EQ(EndingSignal(again), SIGINT);
}

TEST_F(BoardKillTest, ProgramInstalledUnderTheRootBelongsToIt) {
  fs::create_directories(root_ / "system" / "bin");
  fs::path installed = root_ / "system" / "bin" / name_;
  fs::copy_file(program_, installed);
  pid_t pid = Start(installed, "");
  EXPECT_TRUE(Contains(board::BoardProcessesNamed(name_, root_.string()), pid));
  EXPECT_FALSE(Contains(board::BoardProcessesNamed(name_, (base_ / "ro").string()), pid))
      << "a root that is a prefix of the folder name is another root";
}

TEST_F(BoardKillTest, CommandsItCannotReadAreRefused) {
  pid_t ours = Start(program_, root_.string());
  for (const std::string& command : std::vector<std::string>{"killall", "killall -9", "killall -FOO " + name_, "pkill -f " + name_,
                              "killall -s " + name_, "pkill a b"}) {
    EXPECT_EQ(board::RunCommand(command), board::kCommandRefused) << command;
  }
  EXPECT_EQ(board::RunCommand("echo; killall " + name_), board::kCommandRefused);
  EXPECT_EQ(kill(ours, 0), 0);
}

TEST_F(BoardKillTest, SignalZeroOnlyAsksWhetherAProcessIsLeft) {
  pid_t ours = Start(program_, root_.string());
  EXPECT_EQ(board::RunCommand("killall -0 " + name_), 0);
  EXPECT_EQ(kill(ours, 0), 0) << "signal 0 sends nothing";
  // A killed process that its parent has not reaped yet holds nothing: it is not left.
  ASSERT_EQ(kill(ours, SIGKILL), 0);
  const std::string state_file = "/proc/" + std::to_string(ours) + "/stat";
  WaitUntil([&] { return ReadWholeFile(state_file).find(") Z ") != std::string::npos; });
  int status = board::RunCommand("killall -0 " + name_);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(EndingSignal(ours), SIGKILL);
}
