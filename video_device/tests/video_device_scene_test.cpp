// The video device with the real calibration of the simulated sensor module and the real matcher on
// the simulated camera: image sizes, swapped cameras and offsets changed while frames flow.
// (Disparity against the scene's known one: video_device_passage_test.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "board/sim_camera.h"
#include "board/sim_module_geometry.h"
#include "device_status.h"
#include "status_led.h"
#include "stereo_video_deivce.h"
#include "test_support/sim_device.h"

namespace {

namespace sm = board::sim_module;
constexpr auto kFrameWait = std::chrono::seconds(60);

// Keeps the last colour and disparity images.
class LastImages {
 public:
  static void Callback(int type, int width, int height, unsigned long size, const unsigned char* data, unsigned long,
                       const timeval*, int, bool, void* context) {
    auto* self = static_cast<LastImages*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    (type == kStereoImageColour ? self->colour_ : self->disparity_).assign(data, data + size);
    if (type == kStereoImageDisparity) {
      ++self->disparities_;
      self->disparity_width_ = width;
      self->disparity_height_ = height;
    }
    self->changed_.notify_all();
  }
  bool WaitFor(size_t disparities) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kFrameWait, [&] { return disparities_ >= disparities; });
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return disparities_;
  }
  std::vector<unsigned char> colour() {
    std::lock_guard<std::mutex> lock(mutex_);
    return colour_;
  }
  std::vector<unsigned char> disparity() {
    std::lock_guard<std::mutex> lock(mutex_);
    return disparity_;
  }
  std::pair<int, int> disparity_size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {disparity_width_, disparity_height_};
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<unsigned char> colour_, disparity_;
  size_t disparities_ = 0;
  int disparity_width_ = 0, disparity_height_ = 0;
};

class SceneDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.ok());
    simcam::Configure(Camera(false));
    OpenAllLED();
  }
  static simcam::Settings Camera(bool manual) {
    simcam::Settings settings;
    settings.statistics = false;
    settings.manual = manual;
    return settings;
  }
  void TearDown() override {
    device_.Stop();
    device_.Deinit();
    CloseAllLED();
  }
  void Start() {
    ASSERT_EQ(device_.Init(&set_, reinterpret_cast<const tagCamExposureConfiguration*>(exposure_)), kResultOk);
    ASSERT_EQ(device_.Start(&LastImages::Callback, &images_), kResultOk);
  }

  SimDeviceRoot root_;
  tagVideoDeviceParameterSet set_ = SimModuleParameterSet();
  alignas(8) unsigned char exposure_[120] = {};
  LastImages images_;
  StereoVideoDeivce device_;
};

TEST_F(SceneDevice, IntervalSamplingDeliversAQuarterSizeDisparityImage) {
  set_.image_interval_sampling = 1;
  Start();
  ASSERT_TRUE(images_.WaitFor(2));
  EXPECT_EQ(images_.disparity_size(), std::make_pair(sm::kDepthWidth / 2, sm::kDepthHeight / 2));
  EXPECT_EQ(images_.disparity().size(), static_cast<size_t>(sm::kDepthHeight) * (sm::kDepthWidth / 2) / 2);
  EXPECT_EQ(images_.colour().size(), 460800u);
}

// Colour image of the first frame pair, the cameras swapped or not.
std::vector<unsigned char> FirstColourImage(bool swap) {
  simcam::Settings settings;
  settings.manual = true;
  settings.statistics = false;
  simcam::Configure(settings);
  tagVideoDeviceParameterSet set = SimModuleParameterSet();
  set.swap_camera = swap;
  alignas(8) unsigned char exposure[120] = {};
  LastImages images;
  StereoVideoDeivce device;
  EXPECT_EQ(device.Init(&set, reinterpret_cast<const tagCamExposureConfiguration*>(exposure)), kResultOk);
  EXPECT_EQ(device.Start(&LastImages::Callback, &images), kResultOk);
  EXPECT_EQ(simcam::DeliverFrames(), simcam::kCameraCount);
  EXPECT_TRUE(images.WaitFor(1));
  device.Stop();
  device.Deinit();
  return images.colour();
}

// Where a patch of one luma image is found in another: its offset and how well it matches.
std::pair<cv::Point, double> BestMatch(const cv::Mat& image, const cv::Mat& patch, cv::Point patch_corner) {
  cv::Mat scores;
  cv::matchTemplate(image, patch, scores, cv::TM_CCOEFF_NORMED);
  double best = 0.0;
  cv::Point at;
  cv::minMaxLoc(scores, nullptr, &best, nullptr, &at);
  return {at - patch_corner, best};
}

TEST_F(SceneDevice, SwappedCamerasGiveTheRightCamerasColourImage) {
  const std::vector<unsigned char> left = FirstColourImage(false);
  const std::vector<unsigned char> right = FirstColourImage(true);
  ASSERT_EQ(left.size(), 460800u);
  ASSERT_EQ(right.size(), 460800u);
  const cv::Mat left_luma(sm::kRawHeight, sm::kRawWidth, CV_8UC1, const_cast<unsigned char*>(left.data()));
  const cv::Mat right_luma(sm::kRawHeight, sm::kRawWidth, CV_8UC1, const_cast<unsigned char*>(right.data()));
  // The right camera shows the floor straight below the module its parallax further down. The
  // swapped frame goes through the left camera's tables, so the two lenses' difference stays in it
  // (a few pixels).
  const int parallax = static_cast<int>(sm::RawRowParallax(250.0));
  constexpr int kLensDifference = 10;
  const cv::Point corner(280, 100);
  const auto [offset, score] = BestMatch(right_luma, left_luma(cv::Rect(corner, cv::Size(60, 60))), corner);
  EXPECT_GT(score, 0.6);
  EXPECT_NEAR(offset.y, parallax, kLensDifference);
  EXPECT_NEAR(offset.x, 0, kLensDifference);
}

TEST_F(SceneDevice, FarOffsetFailsWhileFramesFlowAndValidOnesFromAnotherThreadAreClean) {
  Start();
  ASSERT_TRUE(images_.WaitFor(1));
  EXPECT_EQ(device_.SetDisparityOffset(1.0e4, 1), kResultFailed);
  double offset = -1;
  int selector = -1;
  device_.GetDisparityOffset(&offset, &selector);
  EXPECT_EQ(offset, 0.0);
  EXPECT_EQ(selector, 0);
  const size_t before = images_.count();
  EXPECT_TRUE(images_.WaitFor(before + 2)) << "frames keep coming";

  std::thread control([&] {
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(device_.SetDisparityOffset(0.5 * i, i % 2 == 0 ? 1 : -1), kResultOk);
  });
  control.join();
  EXPECT_TRUE(device_.WaitForGreyTables(std::chrono::seconds(60)));
  EXPECT_TRUE(images_.WaitFor(images_.count() + 2));
  device_.GetDisparityOffset(&offset, &selector);
  EXPECT_EQ(offset, 2.0);
  EXPECT_EQ(selector, 1);
}

}  // namespace
