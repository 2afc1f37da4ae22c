// Auto exposure through the running device on the simulated camera: remap, the exposure thread and
// the camera commands close the loop. From a dark start, a bright start and across lighting
// changes, the black and white shares of the image a client sees come inside the configured limits
// within a bounded number of frames, its mean brightness is one a person calls well exposed, and
// good exposure is reported only for frames inside the limits.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "board/sim_camera.h"
#include "cam_auto_exposure.h"
#include "device_status.h"
#include "hardware/camera_hal.h"
#include "status_led.h"
#include "stereo_video_deivce.h"
#include "test_support/sim_device.h"

namespace {

constexpr int kFrameRate = 20;
constexpr int kExtremeBins = 5;  // grey levels 0..4 count as black, 251..255 as white
constexpr auto kEventWait = std::chrono::seconds(60);
// A well exposed image: mean brightness well inside 60..190 of 255.
constexpr double kLeastMean = 70.0;
constexpr double kMostMean = 180.0;
// Frames from a start or a lighting change until the shares are inside the limits. While the image
// is all black or all white the controller moves the exposure by at least kp x 1 = 2 EV per step,
// so the 17.1 EV range takes at most 9 steps; a setting shows two frames after the frame it
// answers, which can double that (18); the last stop to the balance goes at the pace of the few
// extreme grains. The runs take 3 to 8 frames; the bound stays far inside the out-of-service time
// (frame_rate x image_out_of_service_sec = 200 frames).
constexpr int kConvergeWithin = 30;
constexpr int kSettleFrames = 60;  // the frames after which the image is judged settled
// The first frame shows the sensors' own exposure, the second their start values; the start-up
// that the step on the first frame makes shows from the third on (a setting made in answer to a
// frame shows two frames later).
constexpr size_t kFirstControlledFrame = 2;
// The controller measures the depth-size grey images, the test the client's colour image of the
// same frame: their shares differ by a fraction of a percent.
constexpr double kShareMargin = 1.0;

// The shipped exposure configuration (service/config's default file).
tagCamExposureConfiguration ShippedExposure() {
  tagCamExposureConfiguration config{};
  config.frame_rate = kFrameRate;
  config.adjust_sec = 10;
  config.exposure_time = 50000;
  config.exposure_level_count = 128;
  config.image_black_warning_percent = 5.0;
  config.image_white_warning_percent = 30.0;
  config.image_out_of_service_sec = 10;
  config.image_black_percentage_k = 1.5;
  config.image_set_point = 0.0;
  config.image_kp = 2.0;
  config.image_ki = 0.02;
  config.image_kd = 0.2;
  return config;
}

struct FrameFigures {
  double mean;
  double black_percent;
  double white_percent;
  bool exposure_ok;  // as the disparity image of the frame reports it
};

// Keeps the figures of every colour image (the Y plane a client sees) and the exposure flag that
// its disparity image carries.
struct Frames {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<FrameFigures> figures;
  size_t disparities = 0;

  static void Callback(int type, int width, int height, unsigned long, const unsigned char* data, unsigned long,
                       const timeval*, int, bool exposure_ok, void* context) {
    auto* self = static_cast<Frames*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    if (type == kStereoImageColour) {
      const cv::Mat luma(height, width, CV_8UC1, const_cast<unsigned char*>(data));
      const double pixels = static_cast<double>(luma.total());
      self->figures.push_back({cv::mean(luma)[0], 100.0 * cv::countNonZero(luma < kExtremeBins) / pixels,
                               100.0 * cv::countNonZero(luma > 255 - kExtremeBins) / pixels, false});
    } else if (type == kStereoImageDisparity && !self->figures.empty()) {
      self->figures.back().exposure_ok = exposure_ok;
      ++self->disparities;
    }
    self->changed.notify_all();
  }
};

size_t ExposureSteps() {
  size_t steps = 0;
  for (const auto& call : simcam::CallLog(1)) steps += call.call == "send_command" && call.command == kCameraCommandSetTime;
  return steps;
}

class RunningExposure : public ::testing::Test {
 protected:
  void SetUp() override {
    // The controller keeps its state for the life of the process (ctest runs each test alone).
    static bool scenario_ran = false;
    if (scenario_ran) GTEST_SKIP() << "one exposure scenario per process";
    scenario_ran = true;
    ASSERT_TRUE(root_.ok());
  }
  void Start(int exposure_time, const std::vector<simcam::LightingPoint>& lighting) {
    simcam::Settings settings;
    settings.manual = true;
    settings.statistics = false;
    settings.frame_rate = kFrameRate;
    settings.lighting = lighting;
    simcam::Configure(settings);
    OpenAllLED();
    config_.exposure_time = exposure_time;
    set_ = SimModuleParameterSet();
    ASSERT_EQ(device_.Init(&set_, &config_), kResultOk);
    ASSERT_EQ(device_.Start(&Frames::Callback, &frames_), kResultOk);
  }
  void TearDown() override {
    device_.Stop();
    device_.Deinit();
    CloseAllLED();
  }
  // Runs frames one by one: each is delivered, goes through the device, and its exposure step has
  // set the cameras before the next one comes (events, not times).
  void Run(size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
      const size_t wanted = frames_.figures.size() + 1;
      ASSERT_EQ(simcam::DeliverFrames(), simcam::kCameraCount);
      {
        std::unique_lock<std::mutex> lock(frames_.mutex);
        ASSERT_TRUE(frames_.changed.wait_for(lock, kEventWait, [&] { return frames_.disparities >= wanted; }));
      }
      // The first step also sets the start-up time on each camera: one more set than frames.
      const auto deadline = std::chrono::steady_clock::now() + kEventWait;
      while (ExposureSteps() < wanted + 1) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no exposure step for frame " << wanted;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  bool InLimits(const FrameFigures& f) const {
    return f.black_percent <= config_.image_black_warning_percent &&
           f.white_percent <= config_.image_white_warning_percent;
  }
  // Frames from `from` until the shares are inside the limits and stay there to the segment's end
  // (-1: never); prints the segment as a table.
  int Converged(const char* name, size_t from, size_t to) const {
    int entered = -1;
    std::printf("%s\nframe  mean  black%%  white%%  exposure_ok\n", name);
    for (size_t i = from; i < to; ++i) {
      const FrameFigures& f = frames_.figures[i];
      std::printf("%5zu %5.1f %7.2f %7.2f  %d\n", i + 1, f.mean, f.black_percent, f.white_percent, f.exposure_ok);
      if (!InLimits(f)) entered = -1;
      else if (entered < 0) entered = static_cast<int>(i - from);
    }
    std::printf("%s: frames to convergence %d\n", name, entered);
    return entered;
  }
  // Good exposure reported only for frames inside the limits; the settled image well exposed and
  // reported so.
  void ExpectWellExposed(size_t settled) const {
    for (size_t i = 0; i < frames_.figures.size(); ++i) {
      const FrameFigures& f = frames_.figures[i];
      const bool clearly_outside = f.black_percent > config_.image_black_warning_percent + kShareMargin ||
                                   f.white_percent > config_.image_white_warning_percent + kShareMargin;
      if (clearly_outside) {
        EXPECT_FALSE(f.exposure_ok) << "frame " << i + 1 << " is outside the limits";
      }
    }
    const FrameFigures& last = frames_.figures.at(settled);
    EXPECT_GT(last.mean, kLeastMean);
    EXPECT_LT(last.mean, kMostMean);
    EXPECT_TRUE(last.exposure_ok);
  }

  void ExpectConvergesFromStart(int exposure_time, const char* name, bool black_start) {
    Start(exposure_time, {});
    Run(kSettleFrames);
    const FrameFigures& first = frames_.figures[kFirstControlledFrame];
    EXPECT_GT(black_start ? first.black_percent : first.white_percent, 90.0);
    const int frames = Converged(name, kFirstControlledFrame, kSettleFrames);
    EXPECT_GE(frames, 1);
    EXPECT_LE(frames, kConvergeWithin);
    ExpectWellExposed(kSettleFrames - 1);
  }

  SimDeviceRoot root_;
  tagCamExposureConfiguration config_ = ShippedExposure();
  tagVideoDeviceParameterSet set_{};
  StereoVideoDeivce device_;
  Frames frames_;
};

TEST_F(RunningExposure, DarkStartConverges) { ExpectConvergesFromStart(100, "dark start", true); }

TEST_F(RunningExposure, BrightStartConverges) { ExpectConvergesFromStart(1000000, "bright start", false); }

TEST_F(RunningExposure, FollowsALampSwitchedOffAndDaylightComingIn) {
  // Settled at full light; at 3 s a lamp goes off (a fifth of the light), at 6 s daylight brings
  // it to three times the first level within a second.
  constexpr double kOff = 3.0, kDaylight = 6.0, kEnd = 9.0, kSwitch = 0.01, kRamp = 1.0;
  Start(ShippedExposure().exposure_time,
        {{0, 1.0}, {kOff, 1.0}, {kOff + kSwitch, 0.2}, {kDaylight, 0.2}, {kDaylight + kRamp, 3.0}, {kEnd, 3.0}});
  // Frame n (1-based) shows the scene at (n - 1) / frame rate seconds.
  const size_t off = static_cast<size_t>(kOff * kFrameRate) + 1, daylight = static_cast<size_t>(kDaylight * kFrameRate);
  Run(static_cast<size_t>(kEnd * kFrameRate));
  EXPECT_TRUE(frames_.figures[off - 1].exposure_ok);
  EXPECT_GT(frames_.figures[off].black_percent, config_.image_black_warning_percent) << "the lamp went off";
  const int after_off = Converged("lamp off", off, daylight);
  EXPECT_GE(after_off, 1);
  EXPECT_LE(after_off, kConvergeWithin);
  EXPECT_GT(frames_.figures[daylight - 1].mean, kLeastMean);
  EXPECT_TRUE(frames_.figures[daylight - 1].exposure_ok);
  const int after_daylight = Converged("daylight", daylight, frames_.figures.size());
  EXPECT_GE(after_daylight, 0);
  EXPECT_LE(after_daylight, kConvergeWithin);
  ExpectWellExposed(frames_.figures.size() - 1);
}

}  // namespace
