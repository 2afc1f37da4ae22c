// Video device against fakes of the capture library and the matcher: the callback sequence and
// sizes, the LED cadence, start/stop/teardown order and the disparity offset.
#include "stereo_video_deivce.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "device_status.h"
#include "led_driver_files.h"
#include "pipeline_fakes.h"
#include "status_led.h"

namespace {

constexpr auto kFrameWait = std::chrono::seconds(20);

struct Frame {
  int type, width, height;
  unsigned long size, index;
  int value;
  bool exposure_ok;
  unsigned char second_byte;
  std::string leds;  // LED colour when a disparity image arrives
};

class FrameLog {
 public:
  explicit FrameLog(const LedDriverFiles* leds) : leds_(leds) {}
  static void Callback(int type, int width, int height, unsigned long size, const unsigned char* data,
                       unsigned long index, const timeval*, int value, bool exposure_ok, void* context) {
    auto* log = static_cast<FrameLog*>(context);
    std::string leds = (type == kStereoImageDisparity && log->leds_) ? log->leds_->Colour() : "";
    std::lock_guard<std::mutex> lock(log->mutex_);
    log->frames_.push_back({type, width, height, size, index, value, exposure_ok, data[1], leds});
    if (type == kStereoImageDisparity) ++log->disparity_count_;
    log->changed_.notify_all();
  }
  bool WaitForDisparities(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kFrameWait, [&] { return disparity_count_ >= count; });
  }
  std::vector<Frame> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  const LedDriverFiles* leds_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Frame> frames_;
  size_t disparity_count_ = 0;
};

class VideoDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    PipelineFakes::Get().Reset();
    memset(&set_, 0, sizeof(set_));
    set_.image_width = 640;
    set_.image_height = 480;
    set_.disparity_max = 32;
    OpenAllLED();
  }
  void TearDown() override {
    device_.Stop();
    device_.Deinit();
    CloseAllLED();
  }
  int Init() { return device_.Init(&set_, reinterpret_cast<const tagCamExposureConfiguration*>(exposure_)); }
  // Runs the device until `count` disparity images arrived, then stops it.
  std::vector<Frame> Run(size_t count) {
    EXPECT_EQ(Init(), kResultOk);
    EXPECT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultOk);
    EXPECT_TRUE(log_.WaitForDisparities(count));
    device_.Stop();
    return log_.Frames();
  }

  LedDriverFiles leds_;
  FrameLog log_{&leds_};
  tagVideoDeviceParameterSet set_;
  alignas(8) unsigned char exposure_[120] = {};
  StereoVideoDeivce device_;
};

TEST_F(VideoDevice, DeliversColourThenDisparityWithEqualIndexesAndTheirSizes) {
  const auto frames = Run(12);
  EXPECT_EQ(set_.image_width, 320) << "Init writes the depth size back";
  EXPECT_EQ(set_.image_height, 240);
  ASSERT_GE(frames.size(), 24u);
  for (size_t i = 0; i + 1 < frames.size(); i += 2) {
    SCOPED_TRACE(i);
    const Frame& colour = frames[i];
    const Frame& disparity = frames[i + 1];
    EXPECT_EQ(colour.type, kStereoImageColour);
    EXPECT_EQ(disparity.type, kStereoImageDisparity);
    EXPECT_EQ(colour.index, i / 2 + 1);
    EXPECT_EQ(disparity.index, colour.index);
    EXPECT_EQ(colour.width, 640);
    EXPECT_EQ(colour.height, 480);
    EXPECT_EQ(colour.size, 460800u);
    EXPECT_EQ(colour.value, 0);
    EXPECT_EQ(disparity.width, 320);
    EXPECT_EQ(disparity.height, 240);
    EXPECT_EQ(disparity.size, 76800u);
    EXPECT_EQ(disparity.value, 50) << "the error-match value";
    EXPECT_EQ(disparity.second_byte, 9) << "the median filter keeps a flat disparity";
  }
}

TEST_F(VideoDevice, FirstColourImageReportsGoodExposureAndLaterOnesTheLastQuality) {
  PipelineFakes::Get().exposure_ok = false;
  const auto frames = Run(2);
  EXPECT_TRUE(frames[0].exposure_ok);
  EXPECT_FALSE(frames[1].exposure_ok);
  EXPECT_FALSE(frames[2].exposure_ok);
}

TEST_F(VideoDevice, AnyNonZeroIntervalSamplingIsOneForTheMatcher) {
  set_.image_interval_sampling = 7;
  const auto frames = Run(2);  // the address sanitizer catches a full image in a quarter buffer
  EXPECT_EQ(PipelineFakes::Get().matcher_interval_sampling, 1);
  EXPECT_EQ(frames[1].size, 19200u);
}

TEST_F(VideoDevice, OddDepthSizesKeepTheDisparityInsideItsBuffer) {
  PipelineFakes::Get().depth_width = 317;
  PipelineFakes::Get().depth_height = 239;
  set_.image_interval_sampling = 1;
  const auto frames = Run(2);
  EXPECT_EQ(frames[1].width, 158);
  EXPECT_EQ(frames[1].height, 119);
  EXPECT_GE(frames[1].size, 158u * 119u);
}

// LED colour after each of frames 1..21 for one exposure quality and error-match value.
std::vector<std::string> ExpectedCadence(const std::string& exposure_colour, const std::string& match_colour) {
  std::vector<std::string> colours(5, "dark");
  for (int block = 0; block < 3; ++block)
    colours.insert(colours.end(), 5, block % 2 == 0 ? exposure_colour : match_colour);
  colours.push_back(match_colour);
  return colours;
}

std::vector<std::string> DisparityLeds(const std::vector<Frame>& frames, size_t count) {
  std::vector<std::string> colours;
  for (const Frame& frame : frames)
    if (frame.type == kStereoImageDisparity && colours.size() < count) colours.push_back(frame.leds);
  return colours;
}

TEST_F(VideoDevice, LedsShowGreenThenBlueEveryFiveFramesWhenAllIsGood) {
  EXPECT_EQ(DisparityLeds(Run(21), 21), ExpectedCadence("green", "blue"));
  EXPECT_EQ(leds_.Colour(), "dark") << "the capture thread ends with the LEDs off";
}

TEST_F(VideoDevice, LedsShowBlueThenDarkWhenExposureAndMatchAreBad) {
  PipelineFakes::Get().exposure_ok = false;
  PipelineFakes::Get().err_match = 70;
  EXPECT_EQ(DisparityLeds(Run(21), 21), ExpectedCadence("blue", "dark"));
}

// A stop that waited for a thread never started would hang here until the test's timeout.
TEST_F(VideoDevice, StopWithoutStartReturns) {
  EXPECT_EQ(device_.Stop(), kResultOk);
}

TEST_F(VideoDevice, StartIsRefusedBeforeInitAndWhileRunning) {
  EXPECT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultFailed);
  ASSERT_EQ(Init(), kResultOk);
  ASSERT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultOk);
  EXPECT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultFailed);
  EXPECT_EQ(Init(), kResultFailed) << "no re-initialisation under the running thread";
}

TEST_F(VideoDevice, StopRightAfterStartWaitsForTheThreadBeforeTeardown) {
  for (int round = 0; round < 30; ++round) {
    ASSERT_EQ(Init(), kResultOk);
    ASSERT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultOk);
    device_.Stop();
    device_.Deinit();
  }
  EXPECT_EQ(PipelineFakes::Get().unsafe_uses.load(), 0) << "no frame asked for after the cameras closed";
}

TEST_F(VideoDevice, DeinitStopsTheExposureBeforeTheCamerasClose) {
  ASSERT_EQ(Init(), kResultOk);
  device_.Deinit();
  const auto events = PipelineFakes::Get().Events();
  const auto uninit = std::find(events.begin(), events.end(), "exposure_uninit");
  const auto stop = std::find(events.begin(), events.end(), "cam_stop");
  ASSERT_NE(uninit, events.end());
  ASSERT_NE(stop, events.end());
  EXPECT_LT(uninit, stop);
}

TEST_F(VideoDevice, InitFailuresReturnFailedAndCloseTheMatcherAfterACameraFailure) {
  EXPECT_EQ(device_.Init(nullptr, reinterpret_cast<const tagCamExposureConfiguration*>(exposure_)), kResultFailed);
  PipelineFakes::Get().calibration_result = 2;
  EXPECT_EQ(Init(), kResultFailed);
  PipelineFakes::Get().calibration_result = 0;
  PipelineFakes::Get().cam_init_result = -1;
  EXPECT_EQ(Init(), kResultFailed);
  const auto events = PipelineFakes::Get().Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], "cam_init");
  EXPECT_EQ(events.back(), "matcher_close");
}

TEST_F(VideoDevice, DisparityOffsetSignFollowsTheSelector) {
  set_.shift_offset = 3.0;
  ASSERT_EQ(Init(), kResultOk);
  EXPECT_EQ(PipelineFakes::Get().grey_offsets.back(), 0.0f) << "Init builds the tables without offset";
  ASSERT_EQ(device_.SetDisparityOffset(1.5, 0), kResultOk);
  EXPECT_EQ(PipelineFakes::Get().grey_offsets.back(), 1.5f);
  ASSERT_EQ(device_.SetDisparityOffset(1.5, -1), kResultOk);
  EXPECT_EQ(PipelineFakes::Get().grey_offsets.back(), -1.5f);
  double offset = 0;
  int selector = 0;
  ASSERT_EQ(device_.GetDisparityOffset(&offset, &selector), kResultOk);
  EXPECT_EQ(offset, 1.5);
  EXPECT_EQ(selector, -1);
}

TEST_F(VideoDevice, OffsetOutOfRangeFailsKeepsTheOldOffsetAndFramesKeepComing) {
  ASSERT_EQ(Init(), kResultOk);
  ASSERT_EQ(device_.SetDisparityOffset(2.0, 1), kResultOk);
  ASSERT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultOk);
  ASSERT_TRUE(log_.WaitForDisparities(2));
  EXPECT_EQ(device_.SetDisparityOffset(5000.0, 1), kResultFailed) << "every row off the frame";
  EXPECT_EQ(device_.SetDisparityOffset(std::nan(""), 1), kResultFailed);
  EXPECT_EQ(device_.SetDisparityOffset(200.0, -1), kResultFailed) << "the rebuild fails";
  EXPECT_EQ(PipelineFakes::Get().grey_offsets.back(), -200.0f);
  const size_t before = log_.Frames().size() / 2;
  EXPECT_TRUE(log_.WaitForDisparities(before + 3)) << "frames keep coming";
  double offset = 0;
  int selector = 0;
  device_.GetDisparityOffset(&offset, &selector);
  EXPECT_EQ(offset, 2.0);
  EXPECT_EQ(selector, 1);
  EXPECT_EQ(PipelineFakes::Get().unsafe_uses.load(), 0);
}

TEST(CutImage, KeepsTheDisparityBandAndItsSurroundings) {
  cv::Mat disparity(64, 63, CV_8UC1, cv::Scalar(5));
  disparity(cv::Rect(20, 20, 9, 9)).setTo(40);  // an object inside the band (30, 50]
  cv::Mat image(64, 63, CV_8UC1, cv::Scalar(200));
  cv::Mat out(64, 63, CV_8UC1, cv::Scalar(0));
  // k = 2 * 50 = 100, d = -5: upper bound 100 / 2 + 5 = 55, lower bound 100 / 4 + 5 = 30.
  StereoVideoDeivce::cut_image(image, disparity, out, 2, 50.0, 2, 4, -5);
  EXPECT_EQ(out.at<unsigned char>(24, 24), 200) << "object centre";
  EXPECT_EQ(out.at<unsigned char>(24, 40), 200) << "grown by the 31 x 31 dilation";
  EXPECT_EQ(out.at<unsigned char>(24, 45), 0) << "but no further";
  EXPECT_EQ(out.at<unsigned char>(0, 62), 0) << "background outside the band stays out";
}

}  // namespace
