// Restart actions: the run command's form, the printed lines of each action and what actually ran.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board/system_command.h"
#include "restart_action.h"
#include "watchdog_test_support.h"

namespace {

using watchdog_test::BoardRootTest;
using watchdog_test::LogCapture;
using watchdog_test::ReadWholeFile;

std::string RunCommandFor(const std::string& command_line) {
  std::string command;
  EXPECT_TRUE(BuildRunCommand(command_line, &command)) << command_line;
  return command;
}

TEST(RunCommandForm, ProgramFolderIsExportedAsLibraryPath) {
  EXPECT_EQ(RunCommandFor("/system/bin/quarnel"), "export LD_LIBRARY_PATH=/system/bin;/system/bin/quarnel");
  EXPECT_EQ(RunCommandFor("/opt/cam/quarnel -v"), "export LD_LIBRARY_PATH=/opt/cam;/opt/cam/quarnel -v");
}

TEST(RunCommandForm, LastSlashInsideTheArgumentsCutsThere) {
  EXPECT_EQ(RunCommandFor("/system/bin/quarnel -c /data/x.xml"),
            "export LD_LIBRARY_PATH=/system/bin/quarnel -c /data;/system/bin/quarnel -c /data/x.xml");
}

TEST(RunCommandForm, SystemLibraryFoldersRunUnchanged) {
  for (const char* line : {"/lib/tool", "/usr/lib/quarnel", "/system/lib64/quarnel"}) {
    EXPECT_EQ(RunCommandFor(line), line);
  }
  // Only the exact folders: a subfolder or a look-alike still exports.
  EXPECT_EQ(RunCommandFor("/usr/lib/x/quarnel"), "export LD_LIBRARY_PATH=/usr/lib/x;/usr/lib/x/quarnel");
  EXPECT_EQ(RunCommandFor("/lib64/quarnel"), "export LD_LIBRARY_PATH=/lib64;/lib64/quarnel");
}

TEST(RunCommandForm, LeadingSlashOnlyCutsNothing) {
  EXPECT_EQ(RunCommandFor("/quarnel"), "export LD_LIBRARY_PATH=/quarnel;/quarnel");
}

TEST(RunCommandForm, CommandWithoutFolderRunsUnchanged) {
  EXPECT_EQ(RunCommandFor("quarnel --fast"), "quarnel --fast");
}

TEST(RunCommandForm, LongestThatFitsIsKeptOneMoreIsRefusedWhole) {
  const std::string prefix = "export LD_LIBRARY_PATH=";
  // Folder "/a...a" and the line "/a...a/p": the export form is prefix + folder + ';' + line.
  const std::size_t folder_length = (kMaxRunCommandLength - prefix.size() - 1 - 2) / 2;
  const std::size_t spare = kMaxRunCommandLength - (prefix.size() + 2 * folder_length + 1 + 2);
  const std::string folder = "/" + std::string(folder_length - 1, 'a');
  const std::string fitting = folder + "/" + std::string(1 + spare, 'p');
  std::string command;
  ASSERT_TRUE(BuildRunCommand(fitting, &command));
  EXPECT_EQ(command.size(), kMaxRunCommandLength);
  EXPECT_EQ(command, prefix + folder + ";" + fitting);
  EXPECT_FALSE(BuildRunCommand(fitting + "p", &command));
  EXPECT_EQ(command, prefix + folder + ";" + fitting + "p");  // whole, for the printed line
}

class RestartActionTest : public BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    program_dir_ = base_ / "prog";
    watchdog_test::fs::create_directories(program_dir_);
    program_ = program_dir_ / "starter";
    watchdog_test::WriteScript(program_, "echo \"start $LD_LIBRARY_PATH\" >> " + StartLog().string());
  }

  ProcessItem Entry(std::int32_t restart_count, bool reboot_machine) const {
    ProcessItem entry;
    entry.process_name = "sleeper_" + std::to_string(getpid());
    entry.command_line = program_.string();
    entry.argument = "unused";
    entry.check_period_ms = 1000;
    entry.restart_count = restart_count;
    entry.reboot_machine = reboot_machine ? 1 : 0;
    return entry;
  }

  watchdog_test::fs::path StartLog() const { return base_ / "starts.log"; }

  std::string RunLine() const {
    return "DaemonServer::Reboot, run_command=export LD_LIBRARY_PATH=" + program_dir_.string() + ";" +
           program_.string() + " \n";
  }

  LogCapture log_;
  watchdog_test::fs::path program_dir_;
  watchdog_test::fs::path program_;
};

TEST_F(RestartActionTest, FirstActionStartsWithTheExportedLibraryPath) {
  ProcessItem entry = Entry(0, true);  // the reboot flag plays no part in a first start
  EXPECT_EQ(RunRestartAction(entry), 0);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"DaemonServer::Reboot, ProcessName=" + entry.process_name + " \n",
                                                    RunLine(), "DaemonServer::Reboot, system Result=0 \n"}));
  EXPECT_EQ(ReadWholeFile(StartLog()), "start " + program_dir_.string() + "\n");
  EXPECT_FALSE(watchdog_test::fs::exists(FakeCallLog()));
}

TEST_F(RestartActionTest, LaterActionKillsByNameThenStarts) {
  // A process of this board root under the entry's name, for the kill to reach.
  const std::string name = Entry(1, false).process_name;
  const watchdog_test::fs::path sleeper = base_ / name;
  watchdog_test::fs::copy_file("/bin/sleep", sleeper);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(sleeper.c_str(), name.c_str(), "300", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(watchdog_test::WaitUntil([&] {
    return ReadWholeFile("/proc/" + std::to_string(child) + "/comm").rfind(name.substr(0, 15), 0) == 0;
  }));

  // The new start sees the old process gone: ended (a zombie until this test reaps it), not dying.
  const watchdog_test::fs::path old_state = base_ / "old-state";
  watchdog_test::WriteScript(program_, "echo \"start $LD_LIBRARY_PATH\" >> " + StartLog().string() +
                                           "; sed 's/.*) //' /proc/" + std::to_string(child) + "/stat | cut -c1 > " +
                                           old_state.string());
  EXPECT_EQ(RunRestartAction(Entry(1, false)), 0);
  EXPECT_EQ(ReadWholeFile(old_state), "Z\n");
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"DaemonServer::Reboot, ProcessName=" + name + " \n",
                                                    "DaemonServer::Reboot, kill_command=killall -9 " + name + " \n",
                                                    RunLine(), "DaemonServer::Reboot, system Result=0 \n"}));
  EXPECT_EQ(ReadWholeFile(StartLog()), "start " + program_dir_.string() + "\n");
}

TEST_F(RestartActionTest, LaterActionWithRebootFlagRunsTheFakeReboot) {
  ProcessItem entry = Entry(3, true);
  EXPECT_EQ(RunRestartAction(entry), 0);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"DaemonServer::Reboot, ProcessName=" + entry.process_name + " \n",
                                                    "DaemonServer::Reboot, reboot_command=reboot \n",
                                                    "DaemonServer::Reboot, system Result=0 \n"}));
  EXPECT_EQ(ReadWholeFile(FakeCallLog()), "reboot\n");
  EXPECT_FALSE(watchdog_test::fs::exists(StartLog()));
}

TEST_F(RestartActionTest, OverlongRunCommandIsPrintedAndNothingRuns) {
  ProcessItem entry = Entry(2, false);
  entry.command_line = program_.string() + " " + std::string(kMaxRunCommandLength, 'x') + "/y";
  std::string whole;
  ASSERT_FALSE(BuildRunCommand(entry.command_line, &whole));
  EXPECT_EQ(RunRestartAction(entry), board::kCommandRefused);
  const std::vector<std::string> lines = log_.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "DaemonServer::Reboot, run_command=" + whole + " \n");
  EXPECT_EQ(lines[2], "DaemonServer::Reboot, run_command longer than 4094 characters, not run \n");
  EXPECT_EQ(lines[3], "DaemonServer::Reboot, system Result=-1 \n");
  EXPECT_EQ(log_.Count("DaemonServer::Reboot, kill_command="), 0u);
  EXPECT_FALSE(watchdog_test::fs::exists(StartLog()));
}

TEST_F(RestartActionTest, StartThatKeepsFailingAtOnceIsRetriedThreeTimesAndItsStatusPrinted) {
  watchdog_test::WriteScript(program_, "echo start >> " + StartLog().string() + "; exit 3");
  EXPECT_EQ(RunRestartAction(Entry(0, false)), 3 << 8);
  EXPECT_EQ(ReadWholeFile(StartLog()), "start\nstart\nstart\nstart\n");
  EXPECT_EQ(log_.Count(RunLine()), 4u);
  EXPECT_EQ(log_.Count("DaemonServer::Reboot, program ended "), 3u);
  EXPECT_EQ(log_.Lines().back(), "DaemonServer::Reboot, system Result=768 \n");
}

TEST_F(RestartActionTest, StartThatFailsOnceIsRetriedUntilItRuns) {
  // The first start fails as a program whose port is still held would; the second runs.
  const watchdog_test::fs::path tried = base_ / "tried";
  watchdog_test::WriteScript(program_, "echo start >> " + StartLog().string() + "; [ -e " + tried.string() +
                                           " ] && exit 0; touch " + tried.string() + "; exit 255");
  EXPECT_EQ(RunRestartAction(Entry(0, false)), 0);
  EXPECT_EQ(ReadWholeFile(StartLog()), "start\nstart\n");
  EXPECT_EQ(log_.Lines().back(), "DaemonServer::Reboot, system Result=0 \n");
}

TEST_F(RestartActionTest, ProgramEndedBySignalOrSuccessIsNotStartedAgain) {
  for (const char* ending : {"kill -9 $$", "exit 0"}) {
    watchdog_test::fs::remove(StartLog());
    watchdog_test::WriteScript(program_, "echo start >> " + StartLog().string() + "; " + ending);
    RunRestartAction(Entry(0, false));
    EXPECT_EQ(ReadWholeFile(StartLog()), "start\n") << ending;
  }
  EXPECT_EQ(log_.Count("DaemonServer::Reboot, program ended "), 0u);
}

}  // namespace
