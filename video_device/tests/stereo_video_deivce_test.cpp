// Video device on the simulated camera with the real calibration, exposure and matcher: start,
// stop and teardown order, initialisation failures, the disparity offset, interval sampling and
// the exposure flag each colour image carries. (Callback sequence and LED cadence:
// video_device_sim_camera_test; disparity against known scenes: video_device_passage_test.)
#include "stereo_video_deivce.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "board/sim_camera.h"
#include "board/sim_module_geometry.h"
#include "device_status.h"
#include "disparity_offset_range.h"
#include "status_led.h"
#include "test_support/sim_device.h"

namespace {

namespace sm = board::sim_module;
constexpr auto kFrameWait = std::chrono::seconds(60);
// A rebuild reads the calibration file again: a fraction of a second, much more under sanitizers.
constexpr auto kTableWait = std::chrono::milliseconds(60000);

struct Frame {
  int type, width, height;
  unsigned long size, index;
  bool exposure_ok;
  std::vector<unsigned char> data;  // disparity images only
};

class FrameLog {
 public:
  static void Callback(int type, int width, int height, unsigned long size, const unsigned char* data,
                       unsigned long index, const timeval*, int, bool exposure_ok, void* context) {
    auto* log = static_cast<FrameLog*>(context);
    std::vector<unsigned char> kept;
    if (type == kStereoImageDisparity) kept.assign(data, data + size);
    std::lock_guard<std::mutex> lock(log->mutex_);
    log->frames_.push_back({type, width, height, size, index, exposure_ok, std::move(kept)});
    if (type == kStereoImageDisparity) ++log->disparity_count_;
    log->changed_.notify_all();
  }
  bool WaitForDisparities(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kFrameWait, [&] { return disparity_count_ >= count; });
  }
  size_t Disparities() {
    std::lock_guard<std::mutex> lock(mutex_);
    return disparity_count_;
  }
  std::vector<Frame> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Frame> frames_;
  size_t disparity_count_ = 0;
};

simcam::Settings Camera(bool manual) {
  simcam::Settings settings;
  settings.statistics = false;
  settings.manual = manual;
  return settings;
}

class VideoDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    simcam::Configure(Camera(false));
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

  SimDeviceRoot root_;
  FrameLog log_;
  tagVideoDeviceParameterSet set_ = SimModuleParameterSet();
  alignas(8) unsigned char exposure_[120] = {};
  StereoVideoDeivce device_;
};

TEST_F(VideoDevice, EachColourImageCarriesThePreviousDisparityImagesExposureFlag) {
  const auto frames = Run(12);
  ASSERT_GE(frames.size(), 24u);
  EXPECT_TRUE(frames[0].exposure_ok) << "the first colour image reports good exposure";
  for (size_t i = 2; i + 1 < frames.size(); i += 2) {
    ASSERT_EQ(frames[i].type, kStereoImageColour);
    EXPECT_EQ(frames[i].exposure_ok, frames[i - 1].exposure_ok) << "frame " << frames[i].index;
  }
}

TEST_F(VideoDevice, AnyNonZeroIntervalSamplingGivesAQuarterSizeDisparity) {
  set_.image_interval_sampling = 7;
  const auto frames = Run(2);  // the address sanitizer catches a full image in a quarter buffer
  EXPECT_EQ(set_.image_width, sm::kDepthWidth) << "Init writes the depth size back";
  EXPECT_EQ(set_.image_height, sm::kDepthHeight);
  EXPECT_EQ(frames[1].size, static_cast<unsigned long>(sm::kDepthWidth / 2) * (sm::kDepthHeight / 2));
  EXPECT_EQ(frames[1].width, sm::kDepthWidth / 2);
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
  constexpr int kRounds = 4;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(Init(), kResultOk);
    ASSERT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultOk);
    device_.Stop();
    device_.Deinit();
    EXPECT_FALSE(simcam::IsOpen(0) || simcam::IsOpen(1)) << "round " << round;
  }
}

TEST_F(VideoDevice, DeinitStopsTheExposureBeforeTheCamerasClose) {
  simcam::ClearCallLogs();
  ASSERT_EQ(Init(), kResultOk);
  ASSERT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultOk);
  ASSERT_TRUE(log_.WaitForDisparities(3));
  device_.Stop();
  device_.Deinit();
  for (int camera = 0; camera < simcam::kCameraCount; ++camera) {
    const auto calls = simcam::CallLog(camera);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().call, "close") << "nothing reaches a camera after it closed";
    EXPECT_NE(std::find_if(calls.begin(), calls.end(), [](const simcam::CallRecord& call) {
                return call.call == "send_command";
              }), calls.end()) << "the exposure commanded the sensor";
  }
}

TEST_F(VideoDevice, InitFailuresReturnFailedAndALaterInitSucceeds) {
  EXPECT_EQ(device_.Init(nullptr, reinterpret_cast<const tagCamExposureConfiguration*>(exposure_)), kResultFailed);
  tagVideoDeviceParameterSet missing = set_;
  std::strncpy(missing.calibration_file_name, "/system/etc/no_such_calibration.yml",
               sizeof(missing.calibration_file_name) - 1);
  EXPECT_EQ(device_.Init(&missing, reinterpret_cast<const tagCamExposureConfiguration*>(exposure_)), kResultFailed);
  simcam::Settings failing = Camera(false);
  failing.fail_open_camera = 1;
  simcam::Configure(failing);
  EXPECT_EQ(Init(), kResultFailed);
  EXPECT_FALSE(simcam::IsOpen(0)) << "the camera opened first is closed again";
  simcam::Configure(Camera(false));
  set_ = SimModuleParameterSet();
  ASSERT_EQ(Init(), kResultOk) << "nothing of the failed attempts is left held";
  ASSERT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultOk);
  EXPECT_TRUE(log_.WaitForDisparities(2));
}

// Median disparity of the floor straight below the module in the next delivered image.
int FloorDisparity(FrameLog& log) {
  const size_t next = log.Disparities() + 1;
  EXPECT_EQ(simcam::DeliverFrames(), simcam::kCameraCount);
  EXPECT_TRUE(log.WaitForDisparities(next));
  const std::vector<unsigned char> image = log.Frames().back().data;
  std::vector<unsigned char> floor;
  for (int row = sm::kDepthHeight / 2 - 10; row < sm::kDepthHeight / 2 + 10; ++row)
    for (int column = sm::kDepthWidth / 2 - 10; column < sm::kDepthWidth / 2 + 10; ++column)
      floor.push_back(image[static_cast<size_t>(row) * sm::kDepthWidth + column]);
  std::nth_element(floor.begin(), floor.begin() + floor.size() / 2, floor.end());
  return floor[floor.size() / 2];
}

TEST_F(VideoDevice, DisparityOffsetMovesTheDisparityWithTheSelectorsSign) {
  simcam::Configure(Camera(true));
  set_.shift_offset = 3.0;
  ASSERT_EQ(Init(), kResultOk);
  ASSERT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultOk);
  const int plain = FloorDisparity(log_);
  EXPECT_EQ(plain, 12) << "Init builds the tables without offset";
  ASSERT_EQ(device_.SetDisparityOffset(4.0, 1), kResultOk);
  ASSERT_TRUE(device_.WaitForGreyTables(kTableWait));
  const int raised = FloorDisparity(log_);
  ASSERT_EQ(device_.SetDisparityOffset(4.0, -1), kResultOk);
  ASSERT_TRUE(device_.WaitForGreyTables(kTableWait));
  const int lowered = FloorDisparity(log_);
  EXPECT_NE(raised, plain);
  EXPECT_EQ(raised - plain, plain - lowered) << "the same offset, the other way";
  double offset = 0;
  int selector = 0;
  ASSERT_EQ(device_.GetDisparityOffset(&offset, &selector), kResultOk);
  EXPECT_EQ(offset, 4.0);
  EXPECT_EQ(selector, -1);
}

TEST_F(VideoDevice, OffsetOutOfRangeFailsKeepsTheOldOffsetAndFramesKeepComing) {
  ASSERT_EQ(Init(), kResultOk);
  ASSERT_EQ(device_.SetDisparityOffset(2.0, 1), kResultOk);
  ASSERT_EQ(device_.Start(&FrameLog::Callback, &log_), kResultOk);
  ASSERT_TRUE(log_.WaitForDisparities(2));
  EXPECT_EQ(device_.SetDisparityOffset(5000.0, 1), kResultFailed) << "every row off the frame";
  EXPECT_EQ(device_.SetDisparityOffset(kDisparityOffsetLimitRows + 0.5, 0), kResultFailed);
  EXPECT_EQ(device_.SetDisparityOffset(std::nan(""), 1), kResultFailed);
  EXPECT_TRUE(log_.WaitForDisparities(log_.Disparities() + 3)) << "frames keep coming";
  double offset = 0;
  int selector = 0;
  device_.GetDisparityOffset(&offset, &selector);
  EXPECT_EQ(offset, 2.0);
  EXPECT_EQ(selector, 1);
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
