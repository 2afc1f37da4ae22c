// The six control commands' answers; clock and reboot reach only the board root's fakes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "control_answer.h"
#include "board/qelt_log_sink.h"
#include "control_request.h"
#include "request_line_limit.h"
#include "platform/delay_task_scheduler.h"
#include "test_support/control_request_bytes.h"
#include "test_support/file_text.h"
#include "test_support/sentinel_board_root.h"

namespace {

constexpr auto Request = &test_support::ControlRequestBytes<char>;

class ControlAnswerTest : public test_support::SentinelBoardRootTest {
 protected:
  void SetUp() override {
    SentinelBoardRootTest::SetUp();
    InstallFakes();
    ASSERT_EQ(scheduler_.Init(), RESULT_OK);
    environment_.scheduler = &scheduler_;
    environment_.network_version = "2.0.1";
    environment_.passage_direction = 1;
    environment_.shift_disparity = [this](std::int32_t step, std::uint32_t* reply) {
      steps_.push_back(step);
      *reply = 7;
      return RESULT_OK;
    };
  }
  void TearDown() override {
    scheduler_.Deinit();
    SentinelBoardRootTest::TearDown();
  }
  int Answer(const std::vector<char>& payload) {
    return AnswerControlRequest(payload.data(), static_cast<int>(payload.size()), environment_, &answer_);
  }

  DelayTaskScheduler scheduler_;
  ControlEnvironment environment_;
  ControlAnswer answer_;
  std::vector<std::int32_t> steps_;
};

TEST_F(ControlAnswerTest, VersionJoinsServiceNetworkAndFirmware) {
  std::filesystem::create_directories(root_ / "system");
  test_support::WriteWholeFile(root_ / "system" / "build.prop", "ro.quenlivark.product.all=fw-3.4\n");
  ASSERT_EQ(Answer(Request(1, kCommandVersion, {})), kControlHandled);
  EXPECT_EQ(answer_.reply, ControlReply::kVersion);
  EXPECT_EQ(answer_.text, "zuq     :1.1.0.20190705\r\nnetwork :2.0.1\r\nfirmware:fw-3.4");
}

TEST_F(ControlAnswerTest, VersionWithoutPropertyHasEmptyFirmware) {
  ASSERT_EQ(Answer(Request(3, kCommandVersion, {})), kControlHandled);
  EXPECT_EQ(answer_.text, "zuq     :1.1.0.20190705\r\nnetwork :2.0.1\r\nfirmware:");
}

TEST_F(ControlAnswerTest, SetTimeRunsOnlyTheFakeDateAndLeavesTheHostClock) {
  const char* saved_tz = std::getenv("TZ");
  const std::string saved = saved_tz != nullptr ? saved_tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  const std::time_t before = std::time(nullptr);
  // 2019-08-05 10:13:20 UTC; the single-digit month and day are zero-padded.
  ASSERT_EQ(Answer(Request(1, kCommandSetSystemTime, {42, 1565000000})), kControlHandled);
  const std::time_t after = std::time(nullptr);
  if (saved_tz != nullptr) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();

  EXPECT_EQ(test_support::ReadWholeFile(FakeLog()), "date 080510132019.20\n");
  EXPECT_EQ(test_support::ReadWholeFile(SentinelLog()), "");
  // The host clock still reads today, not 2019.
  EXPECT_GE(after, before);
  EXPECT_GT(after, 1565000000 + 365 * 24 * 3600);
  EXPECT_EQ(answer_.reply, ControlReply::kSetSystemTime);
  EXPECT_EQ(answer_.values[0], 42u);
  EXPECT_GE(answer_.values[1], static_cast<std::uint32_t>(before));
  EXPECT_LT(answer_.values[2], 1000000u);
}

TEST_F(ControlAnswerTest, UpgradeZeroRepliesAndRebootsOnlyWhenTheTaskIsDue) {
  ASSERT_EQ(Answer(Request(1, kCommandUpgradeControl, {0})), kControlHandled);
  EXPECT_EQ(answer_.reply, ControlReply::kUpgradeControl);
  EXPECT_EQ(test_support::ReadWholeFile(FakeLog()), "");  // not yet due
  ASSERT_EQ(scheduler_.RunDueTasks(UINT64_MAX), RESULT_OK);
  EXPECT_EQ(test_support::ReadWholeFile(FakeLog()), "reboot\n");
  EXPECT_EQ(test_support::ReadWholeFile(SentinelLog()), "");
}

TEST_F(ControlAnswerTest, UpgradeNonZeroDoesNothingAndSendsNoReply) {
  EXPECT_EQ(Answer(Request(1, kCommandUpgradeControl, {1})), kControlHandled);
  EXPECT_EQ(answer_.reply, ControlReply::kNone);
  ASSERT_EQ(scheduler_.RunDueTasks(UINT64_MAX), RESULT_OK);
  EXPECT_EQ(test_support::ReadWholeFile(FakeLog()), "");
}

TEST_F(ControlAnswerTest, MacAddressIsTwelveHexDigitsOrEmpty) {
  ASSERT_EQ(Answer(Request(1, kCommandMacAddress, {})), kControlHandled);
  EXPECT_EQ(answer_.reply, ControlReply::kMacAddress);
  EXPECT_TRUE(answer_.text.empty() || answer_.text.size() == 12u) << answer_.text;
  EXPECT_EQ(answer_.text.find_first_not_of("0123456789abcdef"), std::string::npos) << answer_.text;
}

TEST_F(ControlAnswerTest, PassageDirectionRepliesTheConfiguredValue) {
  ASSERT_EQ(Answer(Request(1, kCommandPassageDirection, {})), kControlHandled);
  EXPECT_EQ(answer_.reply, ControlReply::kPassageDirection);
  EXPECT_EQ(answer_.values[0], 1u);
}

TEST_F(ControlAnswerTest, DisparityShiftPassesTheSignedStep) {
  ASSERT_EQ(Answer(Request(1, kCommandDisparityShift, {0xFFFFFFFDu})), kControlHandled);
  EXPECT_EQ(answer_.reply, ControlReply::kDisparityShift);
  ASSERT_EQ(steps_.size(), 1u);
  EXPECT_EQ(steps_[0], -3);
  EXPECT_EQ(answer_.values[0], 7u);
}

TEST_F(ControlAnswerTest, FailedShiftStillRepliesZero) {
  environment_.shift_disparity = [](std::int32_t, std::uint32_t*) { return RESULT_FAILED; };
  ASSERT_EQ(Answer(Request(1, kCommandDisparityShift, {1})), kControlHandled);
  EXPECT_EQ(answer_.reply, ControlReply::kDisparityShift);
  EXPECT_EQ(answer_.values[0], 0u);
}

TEST_F(ControlAnswerTest, WrongKindUnknownCommandAndShortPayloadGetNoReply) {
  EXPECT_EQ(Answer(Request(2, kCommandVersion, {})), kControlNotHandled);
  EXPECT_EQ(answer_.reply, ControlReply::kNone);
  EXPECT_EQ(Answer(Request(1, 99, {})), kControlNotHandled);
  EXPECT_EQ(answer_.reply, ControlReply::kNone);
  EXPECT_EQ(Answer(Request(1, kCommandSetSystemTime, {5})), kControlNotHandled);
  EXPECT_EQ(Answer(Request(1, kCommandDisparityShift, {})), kControlNotHandled);
  EXPECT_TRUE(steps_.empty());
  EXPECT_EQ(test_support::ReadWholeFile(FakeLog()), "");
}

}  // namespace

namespace {

std::vector<std::string> LoggedTexts() {
  std::vector<std::string> texts;
  for (const auto& line : board::LoggedLines()) texts.push_back(line.text);
  return texts;
}

}  // namespace

// A flood of requests writes a few request lines a second; the next one written counts the rest.
TEST_F(ControlAnswerTest, FloodOfRequestsLogsAFewLinesASecondAndCountsTheRest) {
  constexpr int kFlood = 40;
  // Start from a fresh window with nothing left to count from earlier tests of this process.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Answer(Request(1, kCommandPassageDirection, {}));
  board::ClearLoggedLines();
  for (int i = 0; i < kFlood; ++i) Answer(Request(1, kCommandPassageDirection, {}));
  const auto flood = LoggedTexts();
  const auto received = std::count(flood.begin(), flood.end(), "ServiceRequest, recv a command request");
  EXPECT_GE(received, 1);
  EXPECT_LE(received, 2 * static_cast<long>(RequestLineLimit::kLinesPerSecond));

  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  board::ClearLoggedLines();
  Answer(Request(1, kCommandPassageDirection, {}));
  const auto after = LoggedTexts();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0], "ServiceRequest, " + std::to_string(kFlood - received) + " more requests not logged");
  EXPECT_EQ(after[1], "ServiceRequest, recv a command request");
}
