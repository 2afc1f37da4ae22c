// The whole camera under its watchdog: vastrel starts quarnel from a board root of its own, the
// client program streams from it and commands it, and vastrel brings it back after SIGKILL and
// after its camera stalls.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>

#include "board/system_command.h"
#include "system_test_support.h"
#include "watchdog_test_support.h"

namespace {

using system_test::ClientRun;
using system_test::Ports;
using system_test::ReplaceRecordValue;
using watchdog_test::BoardRootTest;
using watchdog_test::ReadWholeFile;
using watchdog_test::WriteWholeFile;
namespace fs = watchdog_test::fs;

constexpr const char* kQuarnel = "quarnel";
constexpr const char* kQuarnelBoardPath = "/system/bin/quarnel";
constexpr const char* kServiceConfiguration = "default_video_stereo_server_configuration.xml";
constexpr const char* kUserServiceConfiguration = "user_video_stereo_server_configuration.xml";
constexpr const char* kDaemonConfiguration = "default_video_stereo_daemon_configuration.xml";
constexpr const char* kCameraSettings = "sim_camera.conf";
// quarnel says it is alive every second; vastrel acts after a few silent seconds, long enough for
// a quarnel to start and send its first heartbeat on a loaded machine (a few seconds, several
// times that when built with sanitizers).
constexpr int kHeartbeatIntervalSeconds = 1;
constexpr int kCheckPeriodSeconds = SANITIZED_BUILD ? 20 : 8;
// Long enough for vastrel to notice a silent quarnel and for the next one to start, twice over.
constexpr std::chrono::seconds kSystemPatience(4 * kCheckPeriodSeconds + 30);
// The stalled camera delivers frames for half a check period and then none: time for heartbeats,
// so the stall happens in a running pipeline.
constexpr int kSimulatedFramesPerSecond = 20;
constexpr int kFramesBeforeStall = kSimulatedFramesPerSecond * kCheckPeriodSeconds / 2;
constexpr int kStreamSeconds = 2;
// The set-time command's time: 2000-01-01 00:00:00 UTC.
constexpr long kSetTimeSeconds = 946684800;
constexpr int kShiftStep = 1;
// 3000 tenths: an offset of 300 rows, more than the camera and its configuration take.
constexpr int kRefusedShiftStep = 3000;
constexpr const char* kShippedOffset = "0.000000";
constexpr const char* kShiftedOffset = "0.100000";
constexpr const char* kShiftedOffsetRecord = "<record name=shift_offset type=double value=0.100000>";
// The smallest pipe the kernel makes, and more than any line the programs print at start-up.
constexpr int kOnePageBytes = 4096;
constexpr int kLongestLineBytes = 512;
constexpr const char* kRunStartLine = "LoadBaseConfiguration, application_name=";
// The image server thread of the network service, by the name it gives itself.
constexpr const char* kImageServerThread = "NORBImageProxy";
// Allowed drift between the wall and monotonic clocks over the test, for NTP slewing.
constexpr long kClockDriftSeconds = 2;

long WallMinusMonotonic() {
  timespec wall{}, monotonic{};
  clock_gettime(CLOCK_REALTIME, &wall);
  clock_gettime(CLOCK_MONOTONIC, &monotonic);
  return static_cast<long>(wall.tv_sec - monotonic.tv_sec);
}

// The line the board's fake date logs for the set-time command at `seconds` (local time).
std::string FakeDateLine(long seconds) {
  const time_t when = seconds;
  tm local{};
  localtime_r(&when, &local);
  char line[64];
  std::snprintf(line, sizeof line, "date %02d%02d%02d%02d%04d.%02d\n", local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_year + 1900, local.tm_sec);
  return line;
}

// The shift_offset a run of quarnel loaded: the first such line of the run's part of the service
// log (runs begin with the application name's line); empty when there is no such run or line.
std::string LoadedShiftOffset(const std::string& log, std::size_t run) {
  const std::string run_start = kRunStartLine;
  const std::string offset_line = "] shift_offset=";
  std::size_t at = log.find(run_start);
  for (std::size_t skipped = 0; skipped < run && at != std::string::npos; ++skipped) at = log.find(run_start, at + 1);
  if (at == std::string::npos) return std::string();
  const std::size_t next_run = log.find(run_start, at + 1);
  const std::size_t offset = log.find(offset_line, at);
  if (offset == std::string::npos || offset > next_run) return std::string();
  const std::size_t value = offset + offset_line.size();
  return log.substr(value, log.find('\n', value) - value);
}

bool WaitFor(const std::function<bool()>& condition) { return watchdog_test::WaitUntil(condition, kSystemPatience); }

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class WholeSystemTest : public BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    work_ = base_ / "work";
    fs::create_directories(work_);
    ASSERT_TRUE(system_test::FindFreePorts(&ports_));
    wall_offset_before_ = WallMinusMonotonic();
    InstallQuarnel();
    ConfigureCamera(false);
    ConfigureVastrel();
  }

  void TearDown() override {
    // vastrel, the shells of its actions and every quarnel they started share one process group.
    if (vastrel_ > 0) {
      kill(-vastrel_, SIGKILL);
      waitpid(vastrel_, nullptr, 0);
    }
    // Whatever left the group is reached by name, in this board root only.
    board::RunCommand(std::string("killall -9 ") + kQuarnel + " camera_client");
    EXPECT_TRUE(WaitFor([&] { return system_test::ProgramPids(ProgramPath()).empty(); }));
    EXPECT_LE(std::labs(WallMinusMonotonic() - wall_offset_before_), kClockDriftSeconds);
    BoardRootTest::TearDown();
  }

  fs::path ProgramPath() const { return BoardFile(kQuarnelBoardPath); }
  fs::path BoardFile(const std::string& board_path) const { return root_.string() + board_path; }

  // quarnel, its configuration and the simulated module's calibration, where the board keeps them.
  void InstallQuarnel() {
    fs::copy_file(QUARNEL_PROGRAM, ProgramPath());
    fs::permissions(ProgramPath(), fs::perms::owner_all);
    fs::copy_file(SIM_MODULE_CALIBRATION, BoardFile("/system/etc/sim_module_calibration.yml"));
    std::string text = ReadWholeFile(fs::path(SERVICE_CONFIG_DIR) / kServiceConfiguration);
    ASSERT_TRUE(ReplaceRecordValue(&text, "local_heartbeat_socket_port", std::to_string(ports_.heartbeat)));
    ASSERT_TRUE(ReplaceRecordValue(&text, "daemon_listen_socket_port", std::to_string(ports_.daemon)));
    ASSERT_TRUE(ReplaceRecordValue(&text, "local_heartbeat_interval_in_second",
                                   std::to_string(kHeartbeatIntervalSeconds)));
    ASSERT_TRUE(ReplaceRecordValue(&text, "server_port", std::to_string(ports_.server)));
    WriteWholeFile(BoardFile(std::string("/system/etc/") + kServiceConfiguration), text);
  }

  // The shipped camera settings, with camera 0 stalling after a few frames when asked; later
  // keys of the file override earlier ones.
  void ConfigureCamera(bool stall) {
    std::string text = ReadWholeFile(SIM_CAMERA_SETTINGS);
    if (stall) text += "\nstall_camera = 0\nstall_after = " + std::to_string(kFramesBeforeStall) + "\n";
    WriteWholeFile(BoardFile(std::string("/system/etc/") + kCameraSettings), text);
  }

  // The shipped watchdog configuration with this test's port and a short check period.
  void ConfigureVastrel() {
    std::string text = ReadWholeFile(SHIPPED_DEFAULT_CONFIGURATION);
    ASSERT_TRUE(ReplaceRecordValue(&text, "daemon_listen_socket_port", std::to_string(ports_.daemon)));
    ASSERT_TRUE(ReplaceRecordValue(&text, "check_period", std::to_string(kCheckPeriodSeconds)));
    WriteWholeFile(root_ / "etc" / kDaemonConfiguration, text);
  }

  // Starts vastrel in the work folder in a process group of its own, its output and that of the
  // programs it starts to files (or both to `output_fd` when that is not -1); it dies with the test
  // process.
  void StartVastrel(int output_fd = -1) {
    vastrel_ = fork();
    ASSERT_GE(vastrel_, 0);
    if (vastrel_ == 0) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (chdir(work_.c_str()) != 0) _exit(126);
      if (output_fd >= 0) {
        if (dup2(output_fd, STDOUT_FILENO) < 0 || dup2(output_fd, STDERR_FILENO) < 0) _exit(126);
      } else if (!system_test::RedirectOutput(STDOUT_FILENO, OutputPath()) ||
                 !system_test::RedirectOutput(STDERR_FILENO, base_ / "programs.err")) {
        _exit(126);
      }
      execl(VASTREL, "vastrel", static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(vastrel_, vastrel_);
  }

  fs::path OutputPath() const { return base_ / "vastrel.out"; }
  std::string Output() const { return ReadWholeFile(OutputPath()); }
  std::size_t CountInOutput(const std::string& text) const { return CountOf(Output(), text); }
  std::size_t Heard() const { return CountInOutput("DaemonServer::UpdateProcess, ProcessName=quarnel, NextTimeoutTime="); }
  std::size_t Kills() const { return CountInOutput("DaemonServer::Reboot, kill_command=killall -9 quarnel \n"); }
  // Starts of quarnel: its run command, less the quick retries of a start that failed at once (the old
  // process may still be going away under load), which belong to the start they repeat.
  std::size_t Runs() const {
    return CountInOutput("DaemonServer::Reboot, run_command=export LD_LIBRARY_PATH=/system/bin;/system/bin/quarnel \n") -
           CountInOutput(", starting it again \n");
  }
  std::string ServiceLog() const { return ReadWholeFile(BoardFile("/data/log/qelt.log")); }
  std::string Diagnostics() const { return Output() + "\n--- programs ---\n" + ReadWholeFile(base_ / "programs.err"); }

  // The one running quarnel of this root; 0 while there is none or more than one.
  int QuarnelPid() const {
    const std::vector<int> pids = system_test::ProgramPids(ProgramPath());
    return pids.size() == 1 ? pids.front() : 0;
  }

  // Waits for a quarnel other than `old_pid` and for heartbeats vastrel hears after it started.
  int WaitForNewQuarnel(int old_pid) {
    int new_pid = 0;
    EXPECT_TRUE(WaitFor([&] {
      new_pid = QuarnelPid();
      return new_pid != 0 && new_pid != old_pid;
    })) << Diagnostics();
    const std::size_t heard = Heard();
    EXPECT_TRUE(WaitFor([&] { return Heard() > heard; })) << Diagnostics();
    return new_pid;
  }

  ClientRun Client(const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {"--address", "127.0.0.1", "--port", std::to_string(ports_.server), "--out",
                                    (base_ / ("client" + std::to_string(++client_runs_))).string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return system_test::RunClient(CAMERA_CLIENT, all);
  }

  // A client that streams for a while receives colour and disparity images and decodes them all.
  void ExpectImagesFlow() {
    const ClientRun run = Client({"--seconds", std::to_string(kStreamSeconds)});
    EXPECT_EQ(run.exit_status, 0) << run.output << Diagnostics();
    EXPECT_GT(run.colour_frames, 0) << run.output;
    EXPECT_GT(run.colour_decoded, 0) << run.output;
    EXPECT_EQ(run.decode_errors, 0) << run.output;
    EXPECT_GT(run.disparity_frames, 0) << run.output;
  }

  fs::path work_;
  Ports ports_;
  pid_t vastrel_ = 0;
  long wall_offset_before_ = 0;
  int client_runs_ = 0;
};

TEST_F(WholeSystemTest, RunsAnswersAndComesBackAfterKillAndAfterStall) {
  // vastrel starts quarnel and hears it.
  StartVastrel();
  ASSERT_TRUE(WaitFor([&] { return Heard() > 0; })) << Diagnostics();
  const int first = QuarnelPid();
  ASSERT_NE(first, 0) << Diagnostics();
  EXPECT_EQ(Runs(), 1u);
  EXPECT_EQ(Kills(), 0u);

  // The six commands are answered, then images flow.
  const ClientRun commands = Client({"--seconds", std::to_string(kStreamSeconds), "--command", "version", "--command",
                                     "set-time:" + std::to_string(kSetTimeSeconds), "--command", "upgrade-reboot",
                                     "--command", "mac", "--command", "direction:0", "--command",
                                     "shift:" + std::to_string(kShiftStep)});
  EXPECT_EQ(commands.exit_status, 0) << commands.output << Diagnostics();
  for (const char* name : {"version", "set-time", "upgrade-reboot", "mac", "direction", "shift"}) {
    EXPECT_EQ(CountOf(commands.output, std::string("reply ") + name + ": "), 1u) << name << "\n" << commands.output;
  }
  EXPECT_EQ(CountOf(commands.output, ": failed rc="), 0u) << commands.output;
  EXPECT_EQ(CountOf(commands.output, "firmware:simulated-board"), 1u) << commands.output;
  EXPECT_EQ(CountOf(commands.output, "reply direction: direction=0\n"), 1u) << commands.output;
  EXPECT_EQ(CountOf(commands.output, "reply shift: value=" + std::to_string(kShiftStep) + "\n"), 1u) << commands.output;
  EXPECT_GT(commands.colour_frames, 0) << commands.output;
  EXPECT_GT(commands.disparity_frames, 0) << commands.output;
  EXPECT_EQ(commands.decode_errors, 0) << commands.output;
  // The date and the reboot reached the board's fakes only; the reboot runs a second later.
  EXPECT_TRUE(WaitFor([&] { return CountOf(ReadWholeFile(FakeCallLog()), "reboot\n") == 1; })) << ReadWholeFile(FakeCallLog());
  EXPECT_EQ(CountOf(ReadWholeFile(FakeCallLog()), FakeDateLine(kSetTimeSeconds)), 1u) << ReadWholeFile(FakeCallLog());
  // The disparity shift is saved in the user configuration.
  const fs::path user_file = BoardFile(std::string("/system/etc/") + kUserServiceConfiguration);
  EXPECT_NE(ReadWholeFile(user_file).find(kShiftedOffsetRecord), std::string::npos) << ReadWholeFile(user_file);
  EXPECT_EQ(LoadedShiftOffset(ServiceLog(), 0), kShippedOffset) << ServiceLog();
  // A shift beyond the range is refused and saves nothing, so the next start still loads the file.
  const std::string saved = ReadWholeFile(user_file);
  const ClientRun refused = Client({"--seconds", "0", "--command", "shift:" + std::to_string(kRefusedShiftStep)});
  EXPECT_EQ(CountOf(refused.output, "reply shift: failed rc="), 1u) << refused.output;
  EXPECT_EQ(ReadWholeFile(user_file), saved);

  // SIGKILL: vastrel kills by name and starts a new quarnel, which loads the saved shift.
  ASSERT_EQ(kill(first, SIGKILL), 0);
  const int second = WaitForNewQuarnel(first);
  EXPECT_EQ(Kills(), 1u) << Diagnostics();
  EXPECT_EQ(Runs(), 2u) << Diagnostics();
  EXPECT_EQ(LoadedShiftOffset(ServiceLog(), 1), kShiftedOffset) << ServiceLog();
  ExpectImagesFlow();

  // A camera that stalls: the next quarnel's pipeline runs for a moment and then stops, its
  // heartbeats stop with it, and vastrel replaces it with one whose camera is sound.
  ConfigureCamera(true);
  ASSERT_EQ(kill(second, SIGKILL), 0);
  const std::size_t kills_before_stall = Kills() + 1;  // the one for this SIGKILL
  int stalling = 0;
  ASSERT_TRUE(WaitFor([&] {
    stalling = QuarnelPid();
    return stalling != 0 && stalling != second;
  })) << Diagnostics();
  // Once it has sent a heartbeat (or been replaced already) it has read the stall setting.
  const std::size_t heard = Heard();
  ASSERT_TRUE(WaitFor([&] { return Heard() > heard || Kills() > kills_before_stall; })) << Diagnostics();
  ConfigureCamera(false);
  ASSERT_TRUE(WaitFor([&] { return Kills() > kills_before_stall; })) << Diagnostics();
  EXPECT_TRUE(WaitFor([&] { return kill(stalling, 0) != 0; }));
  const int sound = WaitForNewQuarnel(stalling);
  ExpectImagesFlow();
  EXPECT_EQ(QuarnelPid(), sound);
  EXPECT_EQ(CountInOutput("reboot_command"), 0u);

  // Nothing but the fakes ran date and reboot, and only for the commands above.
  const std::string fake_calls = ReadWholeFile(FakeCallLog());
  EXPECT_EQ(CountOf(fake_calls, "date "), 1u) << fake_calls;
  EXPECT_EQ(CountOf(fake_calls, "reboot"), 1u) << fake_calls;
}

TEST_F(WholeSystemTest, BlockedServerPassLeadsToOneRestart) {
  StartVastrel();
  ASSERT_TRUE(WaitFor([&] { return Heard() > 0; })) << Diagnostics();
  const int first = QuarnelPid();
  ASSERT_NE(first, 0) << Diagnostics();
  ExpectImagesFlow();

  // The image server thread is held where it is, as a pass stuck in a send or the encoder would
  // be, while the camera and every other thread of quarnel go on.
  const int server_thread = system_test::ThreadNamed(first, kImageServerThread);
  ASSERT_NE(server_thread, 0) << kImageServerThread << " not found in " << first;
  ASSERT_EQ(ptrace(PTRACE_SEIZE, server_thread, nullptr, nullptr), 0) << std::strerror(errno);
  ASSERT_EQ(ptrace(PTRACE_INTERRUPT, server_thread, nullptr, nullptr), 0) << std::strerror(errno);
  int status = 0;
  ASSERT_EQ(waitpid(server_thread, &status, __WALL), server_thread);
  ASSERT_TRUE(WIFSTOPPED(status));

  // vastrel hears nothing more, kills quarnel once and starts a new one that serves.
  ASSERT_TRUE(WaitFor([&] { return Kills() >= 1; })) << Diagnostics();
  // The held thread ends with its process; this test, its tracer, collects it.
  EXPECT_TRUE(WaitFor([&] {
    const pid_t ended = waitpid(server_thread, &status, __WALL | WNOHANG);
    return ended == server_thread && (WIFEXITED(status) || WIFSIGNALED(status));
  }));
  const int second = WaitForNewQuarnel(first);
  ExpectImagesFlow();
  // Heartbeats for more than a whole check period, and still only the one restart.
  const std::size_t heard = Heard();
  ASSERT_TRUE(WaitFor([&] { return Heard() > heard + 2 * kCheckPeriodSeconds / kHeartbeatIntervalSeconds; }))
      << Diagnostics();
  EXPECT_EQ(Kills(), 1u) << Diagnostics();
  EXPECT_EQ(Runs(), 2u) << Diagnostics();
  EXPECT_EQ(QuarnelPid(), second);
}

TEST_F(WholeSystemTest, StoppedQuarnelIsRestartedOnceWhileNobodyReadsTheOutput) {
  // vastrel and every program it starts write to one small pipe that this test never reads.
  int pipe_ends[2] = {-1, -1};
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  ASSERT_GT(fcntl(pipe_ends[1], F_SETPIPE_SZ, kOnePageBytes), 0);
  StartVastrel(pipe_ends[1]);
  close(pipe_ends[1]);
  const auto quarnel_logged = [&] { return CountOf(ServiceLog(), "Heartbeat: "); };
  ASSERT_TRUE(WaitFor([&] { return QuarnelPid() != 0 && quarnel_logged() > 0; }));
  const int first = QuarnelPid();
  ASSERT_TRUE(WaitFor([&] {
    int queued = 0;
    return ioctl(pipe_ends[0], FIONREAD, &queued) == 0 && queued > kOnePageBytes - kLongestLineBytes;
  }));
  ExpectImagesFlow();

  // A stopped quarnel is killed by name (the wait until it is gone writes "no process found" to
  // standard error) and a new one is started that serves.
  const auto stopped_at = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(first, SIGSTOP), 0);
  int second = 0;
  ASSERT_TRUE(WaitFor([&] {
    second = QuarnelPid();
    return second != 0 && second != first;
  }));
  const std::size_t heartbeats = quarnel_logged();
  ASSERT_TRUE(WaitFor([&] { return quarnel_logged() > heartbeats; }));
  std::cout << "a new quarnel sent a heartbeat "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped_at).count()
            << " ms after the stop (check period " << kCheckPeriodSeconds << " s)\n";
  ExpectImagesFlow();
  // Heartbeats for more than a whole check period, and still the one restart.
  const std::size_t heard = quarnel_logged();
  ASSERT_TRUE(WaitFor([&] { return quarnel_logged() > heard + 2 * kCheckPeriodSeconds / kHeartbeatIntervalSeconds; }));
  EXPECT_EQ(CountOf(ServiceLog(), kRunStartLine), 2u);
  EXPECT_EQ(QuarnelPid(), second);
  close(pipe_ends[0]);
}

}  // namespace
