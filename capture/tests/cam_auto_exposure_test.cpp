// Tests of the auto exposure module on the simulated cameras: its start-up and step commands,
// the hand-over, and a clean stop while a step is inside a camera command.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "cam.h"
#include "cam_auto_exposure.h"
#include "cam_hal.h"
#include "capture_test_support.h"
#include "test_support/wait.h"
#include "libtessaro.h"

namespace {

using capture_test::Commands;
using Sequence = std::vector<std::pair<int32_t, int32_t>>;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Vendor commands other than the exchange brackets.
Sequence Exchanges(int camera) {
  Sequence result;
  for (const auto& command : Commands(camera))
    if (command.first != kCameraCommandBegin && command.first != kCameraCommandEnd) result.push_back(command);
  return result;
}

bool Contains(const Sequence& sequence, int32_t command) {
  for (const auto& entry : sequence)
    if (entry.first == command) return true;
  return false;
}

class AutoExposureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture_test::MakeBoardRoot();
    settings_ = capture_test::ManualSettings();
    s_sgm_m = kHeight;
    s_sgm_n = kWidth;
    black_.assign(kWidth * kHeight, 0);
  }
  void OpenCameras() {
    simcam::Configure(settings_);
    ASSERT_EQ(cam_init(), 0);
    ASSERT_EQ(cam_start(), 0);
    simcam::ClearCallLogs();
  }
  void TearDown() override {
    cam_exposure_uninit();
    cam_stop();
  }
  // Waits for the exposure thread to have set a gain (an event, not a time).
  static void WaitForGainSet() {
    ASSERT_TRUE(test_support::WaitUntil([] { return Contains(Exchanges(1), kCameraCommandSetGain); }));
  }
  simcam::Settings settings_;
  std::vector<unsigned char> black_;
  tagCamExposureConfiguration config_ = capture_test::TestExposureConfig();
};

TEST_F(AutoExposureTest, FirstStepTakesOverTheExposureThenSetsGainAndTime) {
  OpenCameras();
  cam_exposure_init(&config_, kHeight, kWidth);
  cam_exposure_uninit();  // the configuration stays for steps on the caller's thread
  cam_exposure_process(kWidth, kHeight, black_.data(), black_.data());
  const Sequence zero = Exchanges(0);
  ASSERT_EQ(zero.size(), 15u);
  const Sequence start_up(zero.begin(), zero.begin() + 10);
  EXPECT_EQ(start_up, (Sequence{{1227, 0}, {1201, 0}, {1202, 0}, {1203, 0}, {1204, 0}, {1206, 0}, {1207, 0},
                                {1208, 0}, {1209, 0}, {1210, config_.exposure_time}}));
  EXPECT_EQ(zero[10], (std::pair<int32_t, int32_t>{1205, settings_.gain_min}));
  const std::vector<int32_t> step_commands{1204, 1209, 1205, 1210};  // read gain and time, then set them
  for (size_t k = 0; k < step_commands.size(); ++k) EXPECT_EQ(zero[11 + k].first, step_commands[k]) << k;
  EXPECT_EQ(Exchanges(1), (Sequence{{1227, 0},
                                    {1210, config_.exposure_time},
                                    {1205, settings_.gain_min},
                                    {1205, zero[13].second},
                                    {1210, Exchanges(1).back().second}}));
  // A black pair raises the exposure above the start.
  EXPECT_GT(zero[13].second, settings_.gain_min);

  bool logged_limits = false;
  for (const auto& line : board::LoggedLines())
    logged_limits |= line.tag == "cam_auto_exposure" && line.text.find("gain_min=1000000, gain_max=15000000") !=
                                                             std::string::npos;
  EXPECT_TRUE(logged_limits);

  // Later steps only read and set.
  simcam::ClearCallLogs();
  cam_exposure_process(kWidth, kHeight, black_.data(), black_.data());
  const Sequence later = Exchanges(0);
  ASSERT_EQ(later.size(), step_commands.size());
  for (size_t k = 0; k < step_commands.size(); ++k) EXPECT_EQ(later[k].first, step_commands[k]) << k;
}

TEST_F(AutoExposureTest, NegativeReadsNeverBecomeGainOrTime) {
  settings_.command_answers[kCameraCommandGetGain] = -5;
  settings_.command_answers[kCameraCommandGetTime] = -9;
  OpenCameras();
  cam_exposure_init(&config_, kHeight, kWidth);
  cam_exposure_uninit();
  for (int i = 0; i < 3; ++i) cam_exposure_process(kWidth, kHeight, black_.data(), black_.data());
  for (const auto& [command, value] : Exchanges(1)) {
    if (command == kCameraCommandSetGain) {
      EXPECT_GE(value, settings_.gain_min);
    }
    if (command == kCameraCommandSetTime) {
      EXPECT_GE(value, settings_.time_min);
    }
  }
}

TEST_F(AutoExposureTest, HandOverNeedsARunningExposure) {
  std::vector<unsigned char> image(kWidth * kHeight, 100);
  EXPECT_NE(transmit_gray_image_to_exposure(image.data(), image.data()), 0);
  OpenCameras();
  cam_exposure_init(&config_, kHeight, kWidth);
  EXPECT_EQ(transmit_gray_image_to_exposure(image.data(), image.data()), 0);
  EXPECT_NE(transmit_gray_image_to_exposure(nullptr, image.data()), 0);
  cam_exposure_uninit();
  EXPECT_NE(transmit_gray_image_to_exposure(image.data(), image.data()), 0);
  EXPECT_FALSE(get_exposure_quality());
}

TEST_F(AutoExposureTest, ExposureThreadStepsOnAHandedOverPair) {
  OpenCameras();
  cam_exposure_init(&config_, kHeight, kWidth);
  EXPECT_FALSE(get_exposure_quality());  // false until the first step
  ASSERT_EQ(transmit_gray_image_to_exposure(black_.data(), black_.data()), 0);
  WaitForGainSet();
  cam_exposure_uninit();
  EXPECT_TRUE(Contains(Exchanges(0), kCameraCommandAecOff));
}

TEST_F(AutoExposureTest, SecondInitReplacesTheRunningExposure) {
  OpenCameras();
  cam_exposure_init(&config_, kHeight, kWidth);
  cam_exposure_init(&config_, kHeight / 2, kWidth / 2);
  std::vector<unsigned char> small(kWidth / 2 * kHeight / 2, 0);
  EXPECT_EQ(transmit_gray_image_to_exposure(small.data(), small.data()), 0);  // copies the new size only
  cam_exposure_uninit();
  EXPECT_NE(transmit_gray_image_to_exposure(small.data(), small.data()), 0);
}

TEST_F(AutoExposureTest, UninitWaitsForAStepBlockedInsideACameraCommand) {
  OpenCameras();
  cam_exposure_init(&config_, kHeight, kWidth);
  simcam::HoldCommands();
  ASSERT_EQ(transmit_gray_image_to_exposure(black_.data(), black_.data()), 0);
  simcam::WaitUntilCommandHeld();  // the exposure thread is inside send_command, mid-step
  std::atomic<size_t> commands_when_stopped{0};
  std::thread stopper([&commands_when_stopped] {
    cam_exposure_uninit();
    commands_when_stopped = simcam::CallLog(0).size() + simcam::CallLog(1).size();
  });
  // Give an uninit that does not wait every chance to free the buffers under the step.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  simcam::ReleaseCommands();
  stopper.join();
  // The step ran to its end, with its last set, before uninit returned.
  const Sequence right = Exchanges(1);
  ASSERT_FALSE(right.empty());
  EXPECT_EQ(right.back().first, kCameraCommandSetTime);
  EXPECT_EQ(commands_when_stopped.load(), simcam::CallLog(0).size() + simcam::CallLog(1).size());
  EXPECT_NE(transmit_gray_image_to_exposure(black_.data(), black_.data()), 0);
}

// Black and white shares (percent) that the step's report line gives, in order of the steps.
std::vector<std::pair<double, double>> ReportedShares() {
  std::vector<std::pair<double, double>> shares;
  for (const auto& line : board::LoggedLines()) {
    const size_t black = line.text.find("BlackPercent=");
    const size_t white = line.text.find("WhitePercent=");
    if (line.tag != "pid_exposure_adjust" || black == std::string::npos || white == std::string::npos) continue;
    shares.emplace_back(std::stod(line.text.substr(black + 13)), std::stod(line.text.substr(white + 13)));
  }
  return shares;
}

// The matcher works on half the rows and columns in interval sampling; the exposure still measures
// the whole grey image. A pair with 30% black in its lower rows and 10% white in the middle (none
// of it in the top quarter) gives those shares in both modes.
TEST_F(AutoExposureTest, IntervalAndNormalSamplingMeasureTheWholeImage) {
  constexpr int kBlackRows = kHeight * 30 / 100;
  constexpr int kWhiteRows = kHeight * 10 / 100;
  std::vector<unsigned char> left(kWidth * kHeight, 128);
  std::fill(left.end() - kBlackRows * kWidth, left.end(), 0);
  std::fill(left.begin() + kHeight / 2 * kWidth, left.begin() + (kHeight / 2 + kWhiteRows) * kWidth, 255);
  std::vector<unsigned char> right(kWidth * kHeight, 128);
  OpenCameras();
  cam_exposure_init(&config_, kHeight, kWidth);
  cam_exposure_uninit();
  board::ClearLoggedLines();
  for (const bool interval : {false, true}) {
    s_sgm_m = interval ? kHeight / 2 : kHeight;
    s_sgm_n = interval ? kWidth / 2 : kWidth;
    cam_exposure_process(kWidth, kHeight, left.data(), right.data());
  }
  const auto shares = ReportedShares();
  ASSERT_EQ(shares.size(), 2u);
  for (const auto& [black, white] : shares) {
    EXPECT_DOUBLE_EQ(black, 30.0);
    EXPECT_DOUBLE_EQ(white, 10.0);
  }
  // An all-black pair is all black in both modes.
  board::ClearLoggedLines();
  cam_exposure_process(kWidth, kHeight, black_.data(), black_.data());
  ASSERT_EQ(ReportedShares().size(), 1u);
  EXPECT_DOUBLE_EQ(ReportedShares()[0].first, 100.0);
}

TEST_F(AutoExposureTest, StepWiseAdjustmentsMoveTimeOrGainByLevels) {
  OpenCameras();
  cam_exposure_init(&config_, kHeight, kWidth);
  cam_exposure_uninit();
  cam_exposure_process(kWidth, kHeight, black_.data(), black_.data());  // reads the limits
  ASSERT_EQ(cam_hal_set_integration_time(settings_.time_min), 0);
  ASSERT_EQ(cam_hal_set_gain(settings_.gain_min), 0);
  const int time_step = (settings_.time_max - settings_.time_min) / config_.exposure_level_count;
  const int gain_step = (settings_.gain_max - settings_.gain_min) / config_.exposure_level_count;
  set_up_exposure(0.0);  // one level: ceil(0) + 1
  int time = 0, gain = 0;
  ASSERT_EQ(cam_hal_get_integration_time(&time), 0);
  EXPECT_EQ(time, settings_.time_min + time_step);
  ASSERT_EQ(cam_hal_set_gain(settings_.gain_min + 3 * gain_step), 0);
  set_down_exposure();
  ASSERT_EQ(cam_hal_get_gain(&gain), 0);
  EXPECT_EQ(gain, settings_.gain_min + gain_step);
}

}  // namespace
