// vastrel as a whole, on loopback in a board root of its own: it starts a heartbeat sender, hears
// it, restarts it after SIGKILL and after its heartbeats stop, and ignores a jump of the wall clock.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "board/system_command.h"
#include "test_support/loopback.h"
#include "watchdog_test_support.h"

namespace {

using watchdog_test::BoardRootTest;
using watchdog_test::ReadWholeFile;
using watchdog_test::WaitUntil;
namespace fs = watchdog_test::fs;

constexpr const char* kSender = "heartbeat_sender";
constexpr const char* kSecondSender = "pulse_sender";
constexpr int kHeartbeatIntervalMs = 200;
constexpr long kOneDaySeconds = 86400;
// Check periods: short where restarts are wanted, long where a stalled machine must not cause one.
// Both are many heartbeat intervals, so a healthy sender is never taken for a silent one, and the
// shorter still leaves a freshly started sender, slowed by sanitizers on a busy machine, time for
// its first heartbeat.
constexpr int kRestartPeriodSeconds = 4;
constexpr int kSteadyPeriodSeconds = 5;
// The smallest pipe the kernel makes (one page), and more than any line vastrel prints here.
constexpr int kSmallestPipeBytes = 4096;
constexpr int kLongestLineBytes = 512;
// Allowed drift between the wall and monotonic clocks over the test, for NTP slewing.
constexpr long kClockDriftSeconds = 2;

struct Program {
  std::string name;
  fs::path path;
};

std::string Record(const std::string& name, const std::string& type, const std::string& value) {
  return "<record name=" + name + " type=" + type + " value=" + value + "></record>\n";
}

long WallMinusMonotonic() {
  timespec wall{}, monotonic{};
  clock_gettime(CLOCK_REALTIME, &wall);
  clock_gettime(CLOCK_MONOTONIC, &monotonic);
  return static_cast<long>(wall.tv_sec - monotonic.tv_sec);
}

class VastrelTest : public BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    work_ = base_ / "work";
    fs::create_directories(work_);
    fs::create_directories(base_ / "second");
    port_ = test_support::FreeLoopbackPort();
    wall_offset_before_ = WallMinusMonotonic();
  }

  void TearDown() override {
    if (vastrel_ > 0) {
      kill(vastrel_, SIGKILL);
      waitpid(vastrel_, nullptr, 0);
    }
    // The senders belong to this board root only; nothing else is reached.
    board::RunCommand(std::string("killall -9 ") + kSender + " " + kSecondSender);
    EXPECT_FALSE(fs::exists(FakeCallLog())) << ReadWholeFile(FakeCallLog());  // no date, no reboot ran
    EXPECT_LE(std::labs(WallMinusMonotonic() - wall_offset_before_), kClockDriftSeconds);
    BoardRootTest::TearDown();
  }

  Program Sender() const { return {kSender, HEARTBEAT_SENDER}; }
  // The same sender under another name, so both can be told apart and killed by name.
  Program SecondSender() {
    const fs::path copy = base_ / "second" / kSecondSender;
    if (!fs::exists(copy)) fs::copy_file(HEARTBEAT_SENDER, copy);
    return {kSecondSender, copy};
  }

  std::string CommandLine(const Program& program) const {
    return program.path.string() + " 127.0.0.1 " + std::to_string(port_) + " " + program.name + " " +
           std::to_string(kHeartbeatIntervalMs);
  }

  // The daemon's default configuration in the board's /etc, watching the given programs.
  void Configure(const std::vector<Program>& programs, int check_period_s) {
    std::ostringstream text;
    text << "<cd_configurations name=daemon>\n<configuration name=default_configuration>\n"
         << "<module name=common_config>\n"
         << Record("daemon_listen_socket_addr", "string", "127.0.0.1")
         << Record("daemon_listen_socket_port", "integer", std::to_string(port_))
         << Record("local_heartbeat_interval_in_second", "integer", "1")
         << Record("monitor_process_number", "integer", std::to_string(programs.size()));
    for (std::size_t i = 0; i < programs.size(); ++i) {
      text << "<record name=process" << i + 1 << " type=container>\n"
           << Record("item_enable", "integer", "1") << Record("process_name", "string", programs[i].name)
           << Record("command_line", "string", CommandLine(programs[i])) << Record("argument", "string", "none")
           << Record("check_period", "integer", std::to_string(check_period_s))
           << Record("immediately_execute", "integer", "1")
           << Record("reboot_machine", "integer", "0") << "</record>\n";
    }
    text << "</module>\n</configuration>\n</cd_configurations>\n";
    watchdog_test::WriteWholeFile(root_ / "etc" / "default_video_stereo_daemon_configuration.xml", text.str());
  }

  // Starts vastrel in the work folder, its output to a file (or its output and errors to
  // `output_fd` when that is not -1); extra environment entries optional.
  void StartVastrel(const std::vector<std::string>& extra_environment = {}, int output_fd = -1) {
    vastrel_ = fork();
    ASSERT_GE(vastrel_, 0);
    if (vastrel_ == 0) {
      if (chdir(work_.c_str()) != 0) _exit(126);
      const int output = output_fd >= 0 ? output_fd : open(OutputPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (output < 0 || dup2(output, STDOUT_FILENO) < 0) _exit(126);
      if (output_fd >= 0 && dup2(output_fd, STDERR_FILENO) < 0) _exit(126);
      for (const std::string& entry : extra_environment) putenv(const_cast<char*>(entry.c_str()));
      execl(VASTREL, "vastrel", static_cast<char*>(nullptr));
      _exit(127);
    }
  }

  fs::path OutputPath() const { return base_ / "vastrel.out"; }
  std::string Output() const { return ReadWholeFile(OutputPath()); }
  std::size_t CountInOutput(const std::string& text) const {
    const std::string output = Output();
    std::size_t count = 0;
    for (std::size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) ++count;
    return count;
  }

  // The process id the named sender last wrote; 0 while none.
  int SenderPid(const std::string& name) const { return std::atoi(ReadWholeFile(work_ / (name + ".pid")).c_str()); }
  bool Alive(int pid) const { return pid > 0 && kill(pid, 0) == 0; }

  std::string HeardLine(const std::string& name) const {
    return "DaemonServer::UpdateProcess, ProcessName=" + name + ", NextTimeoutTime=";
  }

  // Waits for a running sender process other than `old_pid`; its pid, or 0 when none came.
  int WaitForNewSender(const std::string& name, int old_pid) const {
    int new_pid = 0;
    const bool came = WaitUntil([&] {
      new_pid = SenderPid(name);
      return new_pid != 0 && new_pid != old_pid && Alive(new_pid);
    });
    return came ? new_pid : 0;
  }

  // Waits for a new sender process after `old_pid` and for heartbeats after that.
  int WaitForRestart(const std::string& name, int old_pid) {
    int new_pid = 0;
    EXPECT_TRUE(WaitUntil([&] {
      new_pid = SenderPid(name);
      return new_pid != 0 && new_pid != old_pid && Alive(new_pid);
    })) << Output();
    const std::size_t heard = CountInOutput(HeardLine(name));
    EXPECT_TRUE(WaitUntil([&] { return CountInOutput(HeardLine(name)) > heard; })) << Output();
    return new_pid;
  }

  fs::path work_;
  unsigned port_ = 0;
  pid_t vastrel_ = 0;
  long wall_offset_before_ = 0;
};

TEST_F(VastrelTest, StartsHearsAndRestartsAfterKillAndAfterSilence) {
  Configure({Sender()}, kRestartPeriodSeconds);
  StartVastrel();
  ASSERT_TRUE(WaitUntil([&] { return CountInOutput(HeardLine(kSender)) > 0; })) << Output();
  const int first = SenderPid(kSender);
  ASSERT_TRUE(Alive(first));
  const std::string run_line = "DaemonServer::Reboot, run_command=export LD_LIBRARY_PATH=" +
                               fs::path(HEARTBEAT_SENDER).parent_path().string() + ";" + CommandLine(Sender()) + " \n";
  EXPECT_EQ(CountInOutput(run_line), 1u);
  const std::string kill_line = std::string("DaemonServer::Reboot, kill_command=killall -9 ") + kSender + " \n";
  EXPECT_EQ(CountInOutput(kill_line), 0u);

  // A crashed program is killed by name (nothing left to reach) and started again.
  ASSERT_EQ(kill(first, SIGKILL), 0);
  const int second = WaitForRestart(kSender, first);
  EXPECT_EQ(CountInOutput(kill_line), 1u);
  EXPECT_EQ(CountInOutput(run_line), 2u);

  // A hung program that stops sending is killed and replaced.
  ASSERT_EQ(kill(second, SIGUSR1), 0);
  const int third = WaitForRestart(kSender, second);
  EXPECT_TRUE(WaitUntil([&] { return !Alive(second); }));
  EXPECT_EQ(CountInOutput(kill_line), 2u);
  EXPECT_EQ(CountInOutput(run_line), 3u);
  EXPECT_TRUE(Alive(third));
  EXPECT_EQ(CountInOutput("DaemonServer::Reboot, reboot_command"), 0u);

  // A broken pipe is reported and ignored.
  ASSERT_EQ(kill(vastrel_, SIGPIPE), 0);
  EXPECT_TRUE(WaitUntil([&] { return CountInOutput("receive a sig_pipe signal, we ignore it sig_no=13\n") == 1; }));
  EXPECT_EQ(waitpid(vastrel_, nullptr, WNOHANG), 0);
}

TEST_F(VastrelTest, OutputAndErrorsThatNobodyReadsOrThatAreBrokenHoldUpNoRestart) {
  Configure({Sender()}, kRestartPeriodSeconds);
  int pipe_ends[2] = {-1, -1};
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  ASSERT_GT(fcntl(pipe_ends[1], F_SETPIPE_SZ, kSmallestPipeBytes), 0);  // a few lines fill it
  StartVastrel({}, pipe_ends[1]);
  close(pipe_ends[1]);
  const int first = WaitForNewSender(kSender, 0);
  ASSERT_NE(first, 0);
  // vastrel's lines fill the pipe, which this test never reads.
  ASSERT_TRUE(WaitUntil([&] {
    int queued = 0;
    return ioctl(pipe_ends[0], FIONREAD, &queued) == 0 && queued > kSmallestPipeBytes - kLongestLineBytes;
  }));

  // A sender that falls silent is still replaced: neither the listener nor the action (its kill,
  // whose "no process found" goes to standard error, nor the start) waits for the output.
  ASSERT_EQ(kill(first, SIGUSR1), 0);
  const int second = WaitForNewSender(kSender, first);
  ASSERT_NE(second, 0);

  // The reader quits: every line now breaks the pipe, and the next silent sender is replaced too.
  close(pipe_ends[0]);
  ASSERT_EQ(kill(second, SIGUSR1), 0);
  EXPECT_NE(WaitForNewSender(kSender, second), 0);
  EXPECT_EQ(waitpid(vastrel_, nullptr, WNOHANG), 0) << "vastrel ended";
}

TEST_F(VastrelTest, WallClockJumpOfADayWithHeartbeatsFlowingCausesNoAction) {
  const fs::path shift_file = base_ / "wall-clock-shift";
  const std::vector<std::string> environment = {std::string("LD_PRELOAD=") + WALL_CLOCK_SHIFT_LIBRARY,
                                                "WALL_CLOCK_SHIFT_FILE=" + shift_file.string(),
                                                "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
  Configure({Sender(), SecondSender()}, kSteadyPeriodSeconds);
  StartVastrel(environment);
  ASSERT_TRUE(WaitUntil([&] {
    return CountInOutput(HeardLine(kSender)) > 0 && CountInOutput(HeardLine(kSecondSender)) > 0;
  })) << Output();
  const int first = SenderPid(kSender), second = SenderPid(kSecondSender);

  watchdog_test::WriteWholeFile(shift_file, std::to_string(kOneDaySeconds));
  // The shift reaches programs that read the wall clock: a date printed now is a day ahead.
  timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  FILE* date = popen(("LD_PRELOAD=" + std::string(WALL_CLOCK_SHIFT_LIBRARY) + " WALL_CLOCK_SHIFT_FILE=" +
                      shift_file.string() + " ASAN_OPTIONS=verify_asan_link_order=0 date +%s")
                         .c_str(),
                     "r");
  ASSERT_NE(date, nullptr);
  long shifted = 0;
  ASSERT_EQ(fscanf(date, "%ld", &shifted), 1);
  pclose(date);
  EXPECT_GE(shifted, static_cast<long>(wall.tv_sec) + kOneDaySeconds - kClockDriftSeconds);

  // Several check periods of heartbeats from both programs after the jump.
  const std::size_t heard_first = CountInOutput(HeardLine(kSender));
  const std::size_t heard_second = CountInOutput(HeardLine(kSecondSender));
  constexpr std::size_t kHeartbeatsAfterJump = 20;
  ASSERT_TRUE(WaitUntil([&] {
    return CountInOutput(HeardLine(kSender)) >= heard_first + kHeartbeatsAfterJump &&
           CountInOutput(HeardLine(kSecondSender)) >= heard_second + kHeartbeatsAfterJump;
  })) << Output();
  EXPECT_EQ(CountInOutput("DaemonServer::Reboot, kill_command"), 0u) << Output();
  EXPECT_EQ(SenderPid(kSender), first);
  EXPECT_EQ(SenderPid(kSecondSender), second);
  EXPECT_TRUE(Alive(first) && Alive(second));
}

TEST_F(VastrelTest, RefusedEntryEndsStartUpWithNonZeroExit) {
  Configure({Sender()}, kRestartPeriodSeconds);
  std::string text = ReadWholeFile(root_ / "etc" / "default_video_stereo_daemon_configuration.xml");
  const std::string period = Record("check_period", "integer", std::to_string(kRestartPeriodSeconds));
  text.replace(text.find(period), period.size(), Record("check_period", "integer", "0"));
  watchdog_test::WriteWholeFile(root_ / "etc" / "default_video_stereo_daemon_configuration.xml", text);
  StartVastrel();
  int status = 0;
  ASSERT_EQ(waitpid(vastrel_, &status, 0), vastrel_);
  vastrel_ = 0;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_EQ(SenderPid(kSender), 0);  // nothing was started
}

TEST_F(VastrelTest, MissingConfigurationExitsNonZero) {
  StartVastrel();
  int status = 0;
  ASSERT_EQ(waitpid(vastrel_, &status, 0), vastrel_);
  vastrel_ = 0;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
}

}  // namespace
