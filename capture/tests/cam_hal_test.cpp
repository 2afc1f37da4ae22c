// Tests of camera access: vendor command sequences, opening and closing, the parameter text, and
// the lock that keeps the cameras open while a command is under way.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "cam_hal.h"
#include "capture_test_support.h"

namespace {

using capture_test::Commands;
using Sequence = std::vector<std::pair<int32_t, int32_t>>;

int NoFrame(void*) { return 0; }
void* const kCallback = reinterpret_cast<void*>(NoFrame);

class CamHalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture_test::MakeBoardRoot();
    settings_ = capture_test::ManualSettings();
    simcam::ClearCallLogs();
  }
  void TearDown() override { cam_hal_close(); }
  int Init() {
    simcam::Configure(settings_);
    simcam::ClearCallLogs();
    return cam_hal_init(kCallback, kCallback);
  }
  simcam::Settings settings_;
};

// The parameter text item by item, joined here independently of the library's own constant.
std::string ExpectedParameterText() {
  const std::vector<std::pair<std::string, std::string>> items = {
      {"3dnr_enabled", "false"}, {"antibanding", "off"}, {"antibanding-values", "auto,50hz,60hz,off"},
      {"auto-exposure-lock", "false"}, {"auto-exposure-lock-supported", "true"},
      {"auto-whitebalance-lock-supported", "false"}, {"effect", "none"}, {"effect-values", "none,mono,sepia"},
      {"exposure-compensation", "1"}, {"exposure-compensation-step", "1"}, {"flash-mode", "off"},
      {"flash-mode-values", "off,on,auto,torch"}, {"focal-length", "35"}, {"focus-distances", "0.3,50,Infinity"},
      {"focus-mode", "auto"}, {"focus-mode-values", "fixed,auto,continuous-picture"},
      {"horizontal-view-angle", "60.000000"}, {"jpeg-quality", "70"}, {"jpeg-thumbnail-height", "128"},
      {"jpeg-thumbnail-quality", "70"}, {"jpeg-thumbnail-size-values", "0x0,160x128,160x96"},
      {"jpeg-thumbnail-width", "160"}, {"max-exposure-compensation", "2"}, {"max-num-detected-faces-hw", "0"},
      {"max-num-focus-areas", "1"}, {"max-num-metering-areas", "1"}, {"max-zoom", "40"},
      {"min-exposure-compensation", "-2"}, {"picture-format", "jpeg"}, {"picture-format-values", "jpeg"},
      {"picture-size", "4096x3096"},
      {"picture-size-values", "4224x3136,4096x3096,4096x3072,3264x2448,2592x1944,1600x1200,640x480,352x288,320x240,176x144,1280x720,1920x1080"},
      {"preferred-preview-size-for-video", ""}, {"preview-format", "yuv420sp"},
      {"preview-format-values", "yuv420sp,yuv420p"}, {"preview-fps-range", "3000,30000"},
      {"preview-fps-range-values", "(3000,30000),(15000,15000),(30000,30000)"}, {"preview-frame-rate", "20"},
      {"preview-frame-rate-values", "10,15,20,30,60"}, {"preview-size", "640x480"},
      {"preview-size-values", "176x144,320x240,352x288,640x480,720x480,800x600,1280x720,1920x1080,2112x1568,960x540,2064x1548"},
      {"recording-hint", "false"}, {"rk-continous-pic-num", "1"}, {"rk-continous-supported", "true"},
      {"rk-previwe-h-force", "480"}, {"rk-previwe-w-force", "640"}, {"rotation", "0"},
      {"vertical-view-angle", "60.000000"}, {"video-frame-format", "yuv420sp"}, {"video-size", ""},
      {"video-size-values", ""}, {"video-snapshot-supported", "true"}, {"video-stabilization-supported", "false"},
      {"whitebalance", "auto"}, {"whitebalance-values", "auto,incandescent,fluorescent,daylight"}, {"zoom", "0"},
      {"zoom-ratios", "100,105,110,115,120,125,130,135,140,145,150,155,160,165,170,175,180,185,190,195,200,205,210,215,220,225,230,235,240,245,250,255,260,265,270,275,280,285,290,295,300,"},
      {"zoom-supported", "true"}};
  std::string text;
  for (const auto& [key, value] : items) text += (text.empty() ? "" : ";") + key + "=" + value;
  return text;
}

TEST_F(CamHalTest, BothCamerasReceiveTheWholeParameterText) {
  ASSERT_EQ(Init(), 0);
  const std::string expected = ExpectedParameterText();
  EXPECT_EQ(expected.size(), 1900u);
  for (int camera = 0; camera < 2; ++camera) {
    std::vector<std::string> texts;
    for (const auto& call : simcam::CallLog(camera))
      if (call.call == "set_parameters") texts.push_back(call.text);
    ASSERT_EQ(texts.size(), 1u) << "camera " << camera;
    EXPECT_EQ(texts[0], expected) << "camera " << camera;
  }
}

TEST_F(CamHalTest, OpensBothCamerasAndRegistersTheirCallbacks) {
  ASSERT_EQ(Init(), 0);
  EXPECT_TRUE(simcam::IsOpen(0));
  EXPECT_TRUE(simcam::IsOpen(1));
  std::vector<std::string> calls;
  for (const auto& call : simcam::CallLog(1)) calls.push_back(call.call);
  EXPECT_EQ(calls, (std::vector<std::string>{"get_camera_info", "open", "set_parameters", "set_callbacks"}));
  // A second init while both are open changes nothing.
  simcam::ClearCallLogs();
  EXPECT_EQ(cam_hal_init(kCallback, kCallback), 0);
  for (const auto& call : simcam::CallLog(0)) EXPECT_NE(call.call, "open");
  EXPECT_EQ(cam_hal_init(nullptr, kCallback), -1);
}

TEST_F(CamHalTest, OneReportedCameraIsAskedForItsInfoOnlyAndBothAreOpened) {
  settings_.reported_cameras = 1;
  ASSERT_EQ(Init(), 0);
  size_t info_calls = 0;
  for (int camera = 0; camera < 2; ++camera)
    for (const auto& call : simcam::CallLog(camera)) info_calls += call.call == "get_camera_info";
  EXPECT_EQ(info_calls, 1u);
  EXPECT_TRUE(simcam::IsOpen(1));
}

TEST_F(CamHalTest, FailedOpenOfCameraOneReleasesCameraZeroAndARetrySucceeds) {
  settings_.fail_open_camera = 1;
  EXPECT_LT(Init(), 0);
  EXPECT_FALSE(simcam::IsOpen(0));
  EXPECT_FALSE(simcam::IsOpen(1));
  std::vector<std::string> calls;
  for (const auto& call : simcam::CallLog(0)) calls.push_back(call.call);
  EXPECT_EQ(calls, (std::vector<std::string>{"get_camera_info", "open", "release", "close"}));
  int gain = 0;
  EXPECT_EQ(cam_hal_get_gain(&gain), -1);

  settings_.fail_open_camera = simcam::kNoCamera;
  EXPECT_EQ(Init(), 0);
  EXPECT_TRUE(simcam::IsOpen(0));
  EXPECT_TRUE(simcam::IsOpen(1));
  EXPECT_EQ(cam_hal_get_gain(&gain), 0);
}

TEST_F(CamHalTest, FailedParametersCloseBothSoARetryDoesNotReportSuccess) {
  settings_.fail_parameters_camera = 1;
  EXPECT_LT(Init(), 0);
  EXPECT_FALSE(simcam::IsOpen(0));
  EXPECT_FALSE(simcam::IsOpen(1));
  EXPECT_LT(Init(), 0);  // the camera still refuses: the retry must fail too
  settings_.fail_parameters_camera = simcam::kNoCamera;
  EXPECT_EQ(Init(), 0);
}

TEST_F(CamHalTest, PreviewStartsCameraZeroThenOneAndReportsAFailure) {
  settings_.fail_start_camera = 1;
  ASSERT_EQ(Init(), 0);
  EXPECT_LT(cam_hal_start_preview(), 0);
  cam_hal_stop_preview();
  cam_hal_close();
  EXPECT_LT(cam_hal_start_preview(), 0);  // nothing open
}

TEST_F(CamHalTest, SettersSendTheVendorSequenceToBothCameras) {
  ASSERT_EQ(Init(), 0);
  const struct {
    int (*set)(int);
    int32_t command, value;
  } cases[] = {{cam_hal_set_gain, kCameraCommandSetGain, 3000000},
               {cam_hal_set_integration_time, kCameraCommandSetTime, 4321}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    simcam::ClearCallLogs();
    EXPECT_EQ(c.set(c.value), 0);
    // Camera one's opening bracket carries the value too.
    EXPECT_EQ(Commands(0), (Sequence{{1200, 0}, {c.command, c.value}, {2400, c.value}}));
    EXPECT_EQ(Commands(1), (Sequence{{1200, c.value}, {c.command, c.value}, {2400, c.value}}));
  }
}

TEST_F(CamHalTest, SettersReturnCameraOnesAnswer) {
  settings_.command_answers[kCameraCommandSetGain] = -7;
  ASSERT_EQ(Init(), 0);
  EXPECT_EQ(cam_hal_set_gain(5), -7);
}

TEST_F(CamHalTest, ReadsAddressCameraZeroOnly) {
  ASSERT_EQ(Init(), 0);
  simcam::ClearCallLogs();
  int min = 0, max = 0, step = 0;
  ASSERT_EQ(cam_hal_get_gain_limit(&min, &max, &step), 0);
  EXPECT_EQ(min, settings_.gain_min);
  EXPECT_EQ(max, settings_.gain_max);
  EXPECT_EQ(step, settings_.gain_step);
  ASSERT_EQ(cam_hal_get_integration_time_limit(&min, &max, &step), 0);
  EXPECT_EQ(min, settings_.time_min);
  EXPECT_EQ(max, settings_.time_max);
  int gain = 0, time = 0;
  ASSERT_EQ(cam_hal_get_gain(&gain), 0);
  ASSERT_EQ(cam_hal_get_integration_time(&time), 0);
  EXPECT_EQ(gain, settings_.initial_gain);
  EXPECT_EQ(time, settings_.initial_time);
  EXPECT_EQ(Commands(0), (Sequence{{1200, 0}, {1201, 0}, {1202, 0}, {1203, 0}, {2400, 0},
                                   {1200, 0}, {1206, 0}, {1207, 0}, {1208, 0}, {2400, 0},
                                   {1200, 0}, {1204, 0}, {2400, 0},
                                   {1200, 0}, {1209, 0}, {2400, 0}}));
  EXPECT_TRUE(Commands(1).empty());
}

TEST_F(CamHalTest, AecSwitchesAddressBothCameras) {
  ASSERT_EQ(Init(), 0);
  simcam::ClearCallLogs();
  EXPECT_EQ(cam_hal_aec_stop(), 0);
  EXPECT_EQ(cam_hal_aec_start(), 0);
  const Sequence expected{{1200, 0}, {1227, 0}, {2400, 0}, {1200, 0}, {1226, 0}, {2400, 0}};
  EXPECT_EQ(Commands(0), expected);
  EXPECT_EQ(Commands(1), expected);
}

TEST_F(CamHalTest, GetsAndSetsOnClosedCamerasSendNothing) {
  int min = 0, max = 0, step = 0;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(cam_hal_get_gain_limit(&min, &max, &step), -1);
  EXPECT_EQ(cam_hal_set_gain(1), -1);
  EXPECT_EQ(cam_hal_aec_stop(), -1);
  const auto lines = capture_test::Lines(::testing::internal::GetCapturedStdout());
  EXPECT_EQ(capture_test::CountContaining(lines, "ERROR NULL arguments or cam device"), 3u);
  EXPECT_TRUE(Commands(0).empty());
  ASSERT_EQ(Init(), 0);
  simcam::ClearCallLogs();
  EXPECT_EQ(cam_hal_get_gain_limit(nullptr, &max, &step), -1);
  EXPECT_TRUE(Commands(0).empty());
}

TEST_F(CamHalTest, NegativeReadIsAFailureAndLeavesTheValue) {
  settings_.command_answers[kCameraCommandGetGain] = -5;
  settings_.command_answers[kCameraCommandTimeMax] = -1;
  ASSERT_EQ(Init(), 0);
  int gain = 77;
  EXPECT_EQ(cam_hal_get_gain(&gain), -1);
  EXPECT_EQ(gain, 77);
  int min = 1, max = 2, step = 3;
  EXPECT_EQ(cam_hal_get_integration_time_limit(&min, &max, &step), -1);
  EXPECT_EQ(min, 1);
  EXPECT_EQ(max, 2);
  EXPECT_EQ(step, 3);
}

TEST_F(CamHalTest, CloseWaitsForACommandInProgress) {
  ASSERT_EQ(Init(), 0);
  simcam::ClearCallLogs();
  simcam::HoldCommands();
  std::thread setter([] { cam_hal_set_gain(2000000); });
  simcam::WaitUntilCommandHeld();  // the setter is inside send_command on camera 0
  std::atomic<size_t> calls_when_closed{0};
  std::thread closer([&calls_when_closed] {
    cam_hal_close();
    calls_when_closed = simcam::CallLog(1).size();
  });
  // Give an unguarded close every chance to run first; the lock must make it wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  simcam::ReleaseCommands();
  setter.join();
  closer.join();
  std::vector<std::string> calls;
  for (const auto& call : simcam::CallLog(1)) calls.push_back(call.call);
  EXPECT_EQ(calls, (std::vector<std::string>{"send_command", "send_command", "send_command", "release", "close"}));
  EXPECT_EQ(calls_when_closed.load(), calls.size());
  EXPECT_FALSE(simcam::IsOpen(0));
}

}  // namespace
