// Each of the six control commands is answered over the network, and the ones with effects reach
// only the board: the fake date and reboot, the user configuration file; the host clock is untouched.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>

#include "e2e_fixture.h"

namespace {

constexpr long kRequestedTime = 946684800;  // 2000-01-01 00:00:00 UTC, far from any real clock
constexpr int kRebootWaitSeconds = 10;      // the reboot task runs about one second after its command
constexpr auto kClockTolerance = std::chrono::seconds(5);
constexpr char kFirmwareProperty[] = "simulated-board";
const char* const kSixCommands[] = {"version", "set-time", "upgrade-reboot", "mac", "direction", "shift"};

// The wall clock's distance from the monotonic clock: it moves only when someone sets the clock.
std::chrono::nanoseconds WallClockOffset() {
  return std::chrono::system_clock::now().time_since_epoch() - std::chrono::steady_clock::now().time_since_epoch();
}

bool HasRecord(const std::string& text, const std::string& name, const std::string& type, const std::string& value) {
  return text.find("<record name=" + name + " type=" + type + " value=" + value + "></record>") != std::string::npos;
}

using CommandsEndToEnd = ServiceEndToEnd;

TEST_F(CommandsEndToEnd, SixCommandsAnsweredAndTheirEffectsStayOnTheBoard) {
  const auto offset_before = WallClockOffset();
  const ProgramRun run = RunClient({"--address", "127.0.0.1"},
                                   {"--command", "version", "--command", "set-time:" + std::to_string(kRequestedTime),
                                    "--command", "upgrade-reboot", "--command", "mac", "--command", "direction",
                                    "--command", "shift:1"},
                                   0);
  EXPECT_EQ(run.exit_status, 0);
  const ClientSummary summary = ParseClientOutput(run.output);
  for (const char* command : kSixCommands) EXPECT_TRUE(ReplyAnswered(summary, command)) << command;
  EXPECT_NE(run.output.find(kFirmwareProperty), std::string::npos) << "the version text lacks the firmware";
  const std::string direction = summary.replies.count("direction") ? summary.replies.at("direction") : "";
  EXPECT_TRUE(std::regex_search(direction, std::regex("\\b" + std::to_string(kPassageDirection) + "\\b"))) << direction;

  // Set time and upgrade reached the board's fakes only; the host clock did not move.
  EXPECT_EQ(FakeCalls(root_->path(), "date", 0), std::vector<std::string>{"date " + DateArgument(kRequestedTime)});
  EXPECT_EQ(FakeCalls(root_->path(), "reboot", kRebootWaitSeconds), std::vector<std::string>{"reboot"});
  const auto clock_moved = WallClockOffset() - offset_before;
  EXPECT_LT(std::chrono::abs(clock_moved), kClockTolerance);

  // One step of the shift was saved in the user configuration file.
  const std::string user = ReadWholeFile(root_->UserConfigurationPath());
  EXPECT_TRUE(HasRecord(user, "shift_offset", "double", "0.100000")) << user;
  EXPECT_TRUE(HasRecord(user, "shift_opt", "integer", "1")) << user;

  ExpectCleanStop();
}

}  // namespace
