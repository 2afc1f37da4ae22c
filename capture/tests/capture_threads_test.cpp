// The capture and exposure threads together at 200 frames per second for 5 seconds: the HAL's
// producers, a consumer like the video device's, and the exposure thread setting gain and time.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <chrono>
#include <thread>

#include "cam.h"
#include "cam_auto_exposure.h"
#include "capture_test_support.h"
#include "libtessaro.h"

namespace {

constexpr int kFrameRate = 200;
constexpr auto kRunTime = std::chrono::seconds(5);
constexpr int kDepthWidth = 320;
constexpr int kDepthHeight = 240;

TEST(CaptureThreadsTest, CaptureAndExposureRunTogetherAtTwoHundredFramesPerSecond) {
  capture_test::MakeBoardRoot();
  s_sgm_m = kDepthHeight;
  s_sgm_n = kDepthWidth;
  simcam::Settings settings;
  settings.frame_rate = kFrameRate;
  settings.brightness_schedule = {{0, 1.0 / 32}};  // dark: the exposure has work to do
  simcam::Configure(settings);
  ASSERT_EQ(cam_init(), 0);
  tagCamExposureConfiguration config = capture_test::TestExposureConfig();
  config.frame_rate = kFrameRate;
  cam_exposure_init(&config, kDepthHeight, kDepthWidth);
  ASSERT_EQ(cam_start(), 0);

  size_t pairs = 0;
  size_t good_quality = 0;
  cv::Mat grey_left, grey_right;
  const auto end = std::chrono::steady_clock::now() + kRunTime;
  while (std::chrono::steady_clock::now() < end) {
    cam_frame_t left, right;
    if (!cam_dqbuf(&left, &right)) {
      std::this_thread::sleep_for(std::chrono::microseconds(1000));
      continue;
    }
    ++pairs;
    cv::resize(cv::Mat(left.y_height, left.y_width, CV_8UC1, left.y_plane), grey_left,
               cv::Size(kDepthWidth, kDepthHeight), 0, 0, cv::INTER_AREA);
    cv::resize(cv::Mat(right.y_height, right.y_width, CV_8UC1, right.y_plane), grey_right,
               cv::Size(kDepthWidth, kDepthHeight), 0, 0, cv::INTER_AREA);
    EXPECT_EQ(transmit_gray_image_to_exposure(grey_left.data, grey_right.data), 0);
    good_quality += get_exposure_quality();
    cam_qbuf(&left, &right);
  }
  const int gain_seen = simcam::AppliedGain(0);
  cam_exposure_uninit();
  cam_stop();
  // Frames flowed in pairs and the exposure moved the sensors off their start values.
  EXPECT_GE(pairs, 10u);  // a loaded machine under a sanitizer keeps far fewer than 1000
  EXPECT_NE(gain_seen, settings.initial_gain);
  // Good exposure needs the limits reached, which this run's pair count cannot promise: only shown.
  std::printf("pairs=%zu, pairs with good exposure=%zu\n", pairs, good_quality);
}

}  // namespace
