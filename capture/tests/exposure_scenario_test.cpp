// Closed-loop exposure on the simulated sensor pair: frames to converge from a dark and a bright
// start and through a brightness schedule, and an unreachable scene turning the quality false.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cam.h"
#include "cam_auto_exposure.h"
#include "capture_test_support.h"
#include "libtessaro.h"

namespace {

constexpr int kDepthWidth = 320;
constexpr int kDepthHeight = 240;
constexpr int kExtremeBins = 5;
constexpr double kDark = 1.0 / 64;
constexpr double kNormal = 1.0;
constexpr double kBright = 16.0;
constexpr int kConvergeWithin = 60;  // frames allowed to reach the band

struct FrameResult {
  double black_percent;
  double white_percent;
  bool quality;
};

// The controller keeps its state for the life of the process, so each scenario needs a fresh one
// (ctest runs every test in its own process).
bool g_scenario_ran = false;

class ExposureScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (g_scenario_ran) GTEST_SKIP() << "one exposure scenario per process; run each on its own (ctest does)";
    g_scenario_ran = true;
    capture_test::MakeBoardRoot();
    s_sgm_m = kDepthHeight;
    s_sgm_n = kDepthWidth;
  }
  void Start(const std::vector<simcam::BrightnessStep>& schedule, int exposure_time) {
    simcam::Settings settings = capture_test::ManualSettings();
    settings.brightness_schedule = schedule;
    simcam::Configure(settings);
    settings_ = settings;
    ASSERT_EQ(cam_init(), 0);
    ASSERT_EQ(cam_start(), 0);
    config_.exposure_time = exposure_time;
    cam_exposure_init(&config_, kDepthHeight, kDepthWidth);
    cam_exposure_uninit();  // steps run on this thread, one per frame
  }
  void TearDown() override { cam_stop(); }

  // Share (percent) of pixels in the extreme bins of a grey image.
  static double ExtremePercent(const cv::Mat& grey, bool black) {
    const int count = black ? cv::countNonZero(grey < kExtremeBins)
                            : cv::countNonZero(grey > 255 - kExtremeBins);
    return 100.0 * count / grey.total();
  }

  // One frame through the loop: a pair, its depth-size grey images, one exposure step.
  FrameResult Frame() {
    EXPECT_EQ(simcam::DeliverFrames(), 2);
    cam_frame_t left, right;
    EXPECT_TRUE(cam_dqbuf(&left, &right));
    cv::Mat grey[2];
    const cam_frame_t* frames[2] = {&left, &right};
    for (int i = 0; i < 2; ++i)
      cv::resize(cv::Mat(left.y_height, left.y_width, CV_8UC1, frames[i]->y_plane), grey[i],
                 cv::Size(kDepthWidth, kDepthHeight), 0, 0, cv::INTER_AREA);
    FrameResult result;
    result.black_percent = std::max(ExtremePercent(grey[0], true), ExtremePercent(grey[1], true));
    result.white_percent = std::max(ExtremePercent(grey[0], false), ExtremePercent(grey[1], false));
    result.quality = cam_exposure_process(kDepthWidth, kDepthHeight, grey[0].data, grey[1].data);
    return result;
  }
  bool InBand(const FrameResult& r) const {
    return r.black_percent <= config_.image_black_warning_percent &&
           r.white_percent <= config_.image_white_warning_percent;
  }
  // Frames from the segment's start until the shares enter the band for good (-1: never).
  int FramesToConverge(int frames, const std::string& name) {
    int entered = -1;
    for (int i = 0; i < frames; ++i) {
      const FrameResult r = Frame();
      if (!InBand(r)) entered = -1;
      else if (entered < 0) entered = i;
    }
    std::printf("exposure scenario %s: frames to converge = %d\n", name.c_str(), entered);
    return entered;
  }
  simcam::Settings settings_;
  tagCamExposureConfiguration config_ = capture_test::TestExposureConfig();
};

TEST_F(ExposureScenarioTest, DarkStartConverges) {
  Start({{0, kDark}}, 100);
  const int frames = FramesToConverge(150, "dark start");
  EXPECT_GE(frames, 1);  // it really started outside the band
  EXPECT_LE(frames, kConvergeWithin);
}

TEST_F(ExposureScenarioTest, BrightStartConverges) {
  Start({{0, kBright}}, 1000000);
  const int frames = FramesToConverge(150, "bright start");
  EXPECT_GE(frames, 1);
  EXPECT_LE(frames, kConvergeWithin);
}

TEST_F(ExposureScenarioTest, ScheduleDarkNormalBrightConvergesInEachPart) {
  constexpr int kSegment = 150;
  Start({{0, kDark}, {kSegment, kNormal}, {2 * kSegment, kBright}}, 1000);
  for (const char* name : {"schedule dark", "schedule normal", "schedule bright"}) {
    const int frames = FramesToConverge(kSegment, name);
    EXPECT_GE(frames, 0) << name;
    EXPECT_LE(frames, kConvergeWithin) << name;
  }
}

TEST_F(ExposureScenarioTest, UnreachableSceneSaturatesAndTurnsQualityFalse) {
  Start({{0, 1e-7}}, 1000);
  const int out_of_service_frames = config_.frame_rate * config_.image_out_of_service_sec;
  int first_false = -1;
  for (int i = 0; i < out_of_service_frames + 20; ++i) {
    const FrameResult r = Frame();
    EXPECT_GT(r.black_percent, config_.image_black_warning_percent);
    if (!r.quality && first_false < 0) first_false = i;
    if (first_false >= 0) {
      EXPECT_FALSE(r.quality) << "frame " << i;
    }
  }
  std::printf("exposure scenario unreachable: quality false from frame %d\n", first_false);
  // No frame within the limits: good exposure is never reported; the image goes out of service
  // once warnings have lasted frame rate x out-of-service seconds.
  EXPECT_EQ(first_false, 0);
  size_t out_of_service_lines = 0;
  for (const auto& line : board::LoggedLines())
    out_of_service_lines += line.text.find("image out of service: " + std::to_string(out_of_service_frames)) !=
                            std::string::npos;
  EXPECT_EQ(out_of_service_lines, 1u);
  EXPECT_EQ(simcam::AppliedGain(0), static_cast<int>(std::exp2(3.9) * settings_.gain_min));
  EXPECT_EQ(simcam::AppliedTime(1), static_cast<int>(std::exp2(17.1 - 3.9) * settings_.time_min));
  size_t report_lines = 0;
  for (const auto& line : board::LoggedLines())
    report_lines += line.tag == "pid_exposure_adjust" && line.text.find("BlackPercent=100.000000") != std::string::npos;
  EXPECT_GE(report_lines, 1u);
}

}  // namespace
