// The program's start-up: the configuration found and loaded, failures undone and exiting non-zero.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/result.h"
#include "quarnel_startup.h"
#include "service_test_support.h"
#include "test_support/board_root.h"

namespace {

struct ProgramRun {
  int exit_status = -1;
  std::string output;  // standard output and standard error together
};

// Runs `program` in `folder` with the board root `root`; its output is kept in `folder`.
ProgramRun RunProgram(const std::string& program, const std::string& folder, const std::string& root) {
  const std::string output_path = folder + "/program-output.txt";
  const pid_t child = fork();
  if (child == 0) {
    const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    if (chdir(folder.c_str()) != 0) _exit(126);
    setenv("BOARD_ROOT", root.c_str(), 1);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ProgramRun run;
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  run.output = ReadWholeFile(output_path);
  return run;
}

class Startup : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test_support::LayOutBoardRoot(root_.path())); }
  std::string BoardFile(const std::string& board_path) const { return root_.path() + board_path; }
  void PutConfigurationInWorkingFolder(const std::string& text) {
    WriteWholeFile(work_.File("default_video_stereo_server_configuration.xml"), text);
  }
  // The last state written to an LED file: '0' lit, '1' dark.
  char LastLedState(const char* colour) const {
    const std::string written = ReadWholeFile(BoardFile(std::string("/proc/") + colour + "_LED/" + colour + "_LED"));
    return written.empty() ? '?' : written.back();
  }

  TempFolder root_;
  TempFolder work_;
};

TEST_F(Startup, MissingKeyOfTheProgramsOwnLoadersExitsNonZeroWithTheLedsOff) {
  for (const char* key : {"application_name", "daemon_listen_socket_port", "passage_direction"}) {
    PutConfigurationInWorkingFolder(WithoutRecord(ShippedConfiguration(), key));
    std::filesystem::remove(work_.File("user_video_stereo_server_configuration.xml"));
    const ProgramRun run = RunProgram(QUARNEL_PROGRAM, work_.path(), root_.path());
    EXPECT_NE(run.exit_status, 0) << key;
    EXPECT_EQ(run.exit_status, ExitStatusFor(RESULT_INVALID_ARGUMENT)) << key << "\n" << run.output;
    // Red was shown while starting, and every LED is dark after the undo.
    EXPECT_EQ(ReadWholeFile(BoardFile("/proc/R_LED/R_LED")).front(), '0') << key;
    EXPECT_EQ(LastLedState("R"), '1') << key;
    EXPECT_EQ(LastLedState("G"), '1') << key;
    EXPECT_EQ(LastLedState("B"), '1') << key;
    // Nothing past the two loaders ran.
    EXPECT_EQ(run.output.find("StartZuqService"), std::string::npos) << key;
  }
}

TEST_F(Startup, MissingKeyOfTheServiceStartExitsNonZeroAfterItsLogLine) {
  PutConfigurationInWorkingFolder(WithoutRecord(ShippedConfiguration(), "vendor_name"));
  const ProgramRun run = RunProgram(QUARNEL_PROGRAM, work_.path(), root_.path());
  EXPECT_NE(run.exit_status, 0);
  const std::size_t failure_line = run.output.find("StartZuqService, load zuq configuration failed");
  EXPECT_NE(failure_line, std::string::npos) << run.output;
  // The key is named, with what was wrong, before the failure line.
  EXPECT_LT(run.output.find("Configuration, control_center/vendor_name: absent"), failure_line) << run.output;
  EXPECT_EQ(LastLedState("R"), '1');
}

TEST_F(Startup, BasePortOutsideItsRangeIsRefusedBeforeAnyPortIsBound) {
  PutConfigurationInWorkingFolder(WithValue(ShippedConfiguration(), "server_port", "70000"));
  const ProgramRun run = RunProgram(QUARNEL_PROGRAM, work_.path(), root_.path());
  EXPECT_EQ(run.exit_status, ExitStatusFor(RESULT_INVALID_ARGUMENT));
  EXPECT_LT(run.output.find("server_port=70000 is out of range, accepted 1 to 65532"),
            run.output.find("StartZuqService, load network configuration failed")) << run.output;
  EXPECT_EQ(run.output.find("init network service"), std::string::npos) << run.output;
}

TEST_F(Startup, ServerAddressLongerThanItsFieldIsRefused) {
  PutConfigurationInWorkingFolder(WithValue(ShippedConfiguration(), "server_addr", std::string(40, '1')));
  const ProgramRun run = RunProgram(QUARNEL_PROGRAM, work_.path(), root_.path());
  EXPECT_EQ(run.exit_status, ExitStatusFor(RESULT_INVALID_ARGUMENT));
  EXPECT_NE(run.output.find("server_addr"), std::string::npos) << run.output;
}

TEST_F(Startup, NoConfigurationAnywhereExitsNonZero) {
  const ProgramRun run = RunProgram(QUARNEL_PROGRAM, work_.path(), root_.path());
  EXPECT_NE(run.exit_status, 0);
  EXPECT_NE(run.output.find("DefaultConfiguration2=" + BoardFile("/system/etc/")), std::string::npos) << run.output;
  EXPECT_EQ(LastLedState("R"), '1');
}

TEST_F(Startup, ShippedConfigurationLoadsEveryKeyAndRunsTheBoardCommands) {
  WriteWholeFile(BoardFile("/data/core/core.1"), "old crash");
  PutConfigurationInWorkingFolder(ShippedConfiguration());
  const ProgramRun run = RunProgram(QUARNEL_PROGRAM, work_.path(), root_.path());
  for (const char* line : {"LoadBaseConfiguration, application_name=quarnel",
                           "LoadHeartbeatConfiguration, local_heartbeat_interval_in_second=5",
                           "LoadZuqConfiguration, vendor_name=simulated",
                           "LoadNetworkConfiguration, socket_config/server_port=9000"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
  EXPECT_FALSE(std::filesystem::exists(BoardFile("/data/core/core.1")));
  EXPECT_NE(ReadWholeFile(BoardFile("/fake-calls.log")).find("cpufreq.sh"), std::string::npos);
  // The user file is seeded from the default beside it.
  EXPECT_EQ(ReadWholeFile(work_.File("user_video_stereo_server_configuration.xml")), ShippedConfiguration());
}

TEST_F(Startup, ConfigurationBesideTheProgramIsFoundAndItsPathsPrinted) {
  TempFolder program_folder;
  const std::string program = program_folder.File("quarnel");
  std::filesystem::copy_file(QUARNEL_PROGRAM, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  WriteWholeFile(program_folder.File("default_video_stereo_server_configuration.xml"),
                 WithValue(ShippedConfiguration(), "application_name", "beside"));
  const ProgramRun run = RunProgram(program, work_.path(), root_.path());
  EXPECT_NE(run.output.find("CurrentPath=" + program_folder.path() + "/\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("DefaultConfiguration2=" + program_folder.File("default_video_stereo_server_configuration.xml")),
            std::string::npos);
  EXPECT_NE(run.output.find("UserConfiguration2=" + program_folder.File("user_video_stereo_server_configuration.xml")),
            std::string::npos);
  EXPECT_NE(run.output.find("application_name=beside"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(program_folder.File("user_video_stereo_server_configuration.xml")));
}

TEST(ExitStatus, EveryFailureExitsNonZero) {
  EXPECT_EQ(ExitStatusFor(RESULT_OK), 0);
  for (Result failure : {RESULT_FAILED, RESULT_FILE_CREATE, RESULT_OUT_OF_MEMORY, RESULT_SOCKET_BIND,
                         RESULT_THREAD_CREATE, Result(2), Result(256), Result(0x80000100)}) {
    const int status = ExitStatusFor(failure);
    EXPECT_GT(status, 0) << std::hex << failure;
    EXPECT_LE(status, 255) << std::hex << failure;
  }
  EXPECT_EQ(ExitStatusFor(RESULT_OUT_OF_MEMORY), 4);
}

}  // namespace
