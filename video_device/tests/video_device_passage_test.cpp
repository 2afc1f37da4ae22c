// The video device on the simulated camera with the real exposure and the simulated module's
// calibration: every delivered disparity image against the passage scene's truth, and real stereo
// pairs given to the camera as image files against their ground truth.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <string>
#include <mutex>
#include <vector>

#include "board/sim_camera.h"
#include "board/sim_module_geometry.h"
#include "cam_auto_exposure.h"
#include "device_status.h"
#include "scene_edge_mask.h"
#include "status_led.h"
#include "stereo_video_deivce.h"
#include "test_support/sim_device.h"

// Image files reach the simulated camera through OpenCV's reader, which registers GDAL's drivers
// and starts TBB's worker pool; the thread sanitizer cannot see their own synchronisation
// (uninstrumented), and that code is not ours.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libgdal.so\nrace:libtbb.so\n"; }

namespace {

namespace sm = board::sim_module;
constexpr int kFrameRate = 20;
constexpr uint64_t kFrames = 40;  // two seconds of the scene: every box moves across many columns
constexpr auto kFrameWait = std::chrono::seconds(30);
constexpr int kBorderColumns = 40; // no match left of the disparity range, cleared census border
constexpr int kBorderRows = 4;
constexpr double kRequiredShare = 95.0;

// Keeps the latest disparity image and counts them.
struct Disparities {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<unsigned char> last;
  uint64_t count = 0;

  static void Callback(int type, int, int, unsigned long size, const unsigned char* data, unsigned long,
                       const timeval*, int, bool, void* context) {
    if (type != kStereoImageDisparity) return;
    auto* self = static_cast<Disparities*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->last.assign(data, data + size);
    ++self->count;
    self->changed.notify_all();
  }
  bool WaitFor(uint64_t wanted, std::vector<unsigned char>* image) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, kFrameWait, [&] { return count >= wanted; })) return false;
    *image = last;
    return true;
  }
};

struct Agreement {
  size_t counted = 0;
  size_t agreeing = 0;
  double Share() const { return counted == 0 ? 0.0 : 100.0 * agreeing / counted; }
};

Agreement Compare(const std::vector<unsigned char>& found, const std::vector<float>& expected) {
  const cv::Mat truth(sm::kDepthHeight, sm::kDepthWidth, CV_32FC1, const_cast<float*>(expected.data()));
  const cv::Mat edges = camera_client::SceneEdgeMask(truth);
  Agreement agreement;
  for (int row = kBorderRows; row < sm::kDepthHeight - kBorderRows; ++row)
    for (int column = kBorderColumns; column < sm::kDepthWidth - kBorderColumns; ++column) {
      if (edges.at<uint8_t>(row, column) != 0) continue;
      ++agreement.counted;
      const size_t at = static_cast<size_t>(row) * sm::kDepthWidth + column;
      agreement.agreeing += std::abs(found[at] - truth.at<float>(row, column)) <= 1.0f;
    }
  return agreement;
}

TEST(PassageScene, TruthHasTheFloorAndTheBoxTopsAtTheirLevels) {
  const std::vector<float> truth = simcam::SceneDisparity(0, kFrameRate);
  ASSERT_EQ(truth.size(), static_cast<size_t>(sm::kDepthWidth) * sm::kDepthHeight);
  // The floor straight below the module, and every box top seen in a few seconds of frames.
  EXPECT_FLOAT_EQ(truth[(sm::kDepthHeight / 2) * sm::kDepthWidth + sm::kDepthWidth / 2], 12.0f);
  std::vector<bool> seen(sm::kDepthWidth, false);
  for (uint64_t frame = 0; frame < 200; frame += 10)
    for (float d : simcam::SceneDisparity(frame, kFrameRate)) {
      const float level = std::round(d);
      if (std::abs(d - level) < 1e-4f && level >= 0 && level < sm::kDepthWidth) seen[static_cast<size_t>(level)] = true;
    }
  EXPECT_TRUE(seen[15] && seen[20] && seen[25]);
}

TEST(PassageScene, DeliveredDisparityAgreesWithTheSceneAwayFromBordersAndEdges) {
  SimDeviceRoot root;
  ASSERT_TRUE(root.ok());
  simcam::Settings settings;
  settings.manual = true;
  settings.statistics = false;
  settings.frame_rate = kFrameRate;
  simcam::Configure(settings);
  OpenAllLED();
  Disparities disparities;
  tagVideoDeviceParameterSet set = SimModuleParameterSet();
  const tagCamExposureConfiguration exposure = SimModuleExposure();
  StereoVideoDeivce device;
  ASSERT_EQ(device.Init(&set, &exposure), kResultOk);
  ASSERT_EQ(device.Start(&Disparities::Callback, &disparities), kResultOk);

  Agreement total;
  double worst = 100.0;
  for (uint64_t frame = 0; frame < kFrames; ++frame) {
    ASSERT_EQ(simcam::DeliverFrames(), simcam::kCameraCount);
    std::vector<unsigned char> image;
    ASSERT_TRUE(disparities.WaitFor(frame + 1, &image)) << "frame " << frame;
    ASSERT_EQ(image.size(), static_cast<size_t>(sm::kDepthWidth) * sm::kDepthHeight);
    const Agreement agreement = Compare(image, simcam::SceneDisparity(frame, kFrameRate));
    EXPECT_GE(agreement.Share(), kRequiredShare) << "frame " << frame;
    worst = std::min(worst, agreement.Share());
    total.counted += agreement.counted;
    total.agreeing += agreement.agreeing;
  }
  device.Stop();
  device.Deinit();
  CloseAllLED();
  std::printf("disparity within 1 level of the passage scene on %.2f%% of %zu pixels over %llu frames (worst frame %.2f%%)\n",
              total.Share(), total.counted, static_cast<unsigned long long>(kFrames), worst);
  EXPECT_GE(total.Share(), kRequiredShare);
}

// A Middlebury pair through the whole camera: the files are what the matcher should see, scaled to
// the depth image; the camera turns them as its sensors are mounted and shows them through its lenses.
struct StereoPair {
  const char* name;
  double ground_truth_scale;  // stored value per disparity level
  double required_share;
};

double ShareWithinOneLevel(const StereoPair& pair) {
  const std::string folder = std::string(STEREO_DATA_DIR) + "/" + pair.name;
  SimDeviceRoot root;
  EXPECT_TRUE(root.ok());
  simcam::Settings settings;
  settings.manual = true;
  settings.statistics = false;
  settings.content = "files";
  settings.left_files = {folder + "/left.png"};
  settings.right_files = {folder + "/right.png"};
  simcam::Configure(settings);
  OpenAllLED();
  Disparities disparities;
  tagVideoDeviceParameterSet set = SimModuleParameterSet();
  const tagCamExposureConfiguration exposure = SimModuleExposure();
  StereoVideoDeivce device;
  EXPECT_EQ(device.Init(&set, &exposure), kResultOk);
  EXPECT_EQ(device.Start(&Disparities::Callback, &disparities), kResultOk);
  constexpr uint64_t kPairFrames = 10;  // the exposure settles on the still pair
  std::vector<unsigned char> found;
  for (uint64_t frame = 0; frame < kPairFrames; ++frame) {
    EXPECT_EQ(simcam::DeliverFrames(), simcam::kCameraCount);
    EXPECT_TRUE(disparities.WaitFor(frame + 1, &found));
  }
  device.Stop();
  device.Deinit();
  CloseAllLED();

  // Ground truth at the depth image's size and disparity scale, where it is known and not occluded.
  const cv::Size depth(sm::kDepthWidth, sm::kDepthHeight);
  cv::Mat truth = cv::imread(folder + "/gt.png", cv::IMREAD_GRAYSCALE);
  cv::Mat visible = cv::imread(folder + "/nonocc.png", cv::IMREAD_GRAYSCALE);
  const double scale = static_cast<double>(depth.width) / truth.cols / pair.ground_truth_scale;
  cv::resize(truth, truth, depth, 0, 0, cv::INTER_NEAREST);
  cv::resize(visible, visible, depth, 0, 0, cv::INTER_NEAREST);
  Agreement agreement;
  for (int row = kBorderRows; row < depth.height - kBorderRows; ++row)
    for (int column = kBorderColumns; column < depth.width - kBorderColumns; ++column) {
      if (visible.at<uint8_t>(row, column) != 255 || truth.at<uint8_t>(row, column) == 0) continue;
      ++agreement.counted;
      const double expected = truth.at<uint8_t>(row, column) * scale;
      agreement.agreeing += std::abs(found[static_cast<size_t>(row) * depth.width + column] - expected) <= 1.0;
    }
  std::printf("%s through the camera: %.2f%% of %zu pixels within one level of the ground truth\n", pair.name,
              agreement.Share(), agreement.counted);
  return agreement.Share();
}

TEST(StereoFiles, RealPairsThroughTheCameraGiveTheirDepth) {
  if (!std::filesystem::exists(std::string(STEREO_DATA_DIR) + "/tsukuba/left.png"))
    GTEST_SKIP() << "stereo data folder absent: " << STEREO_DATA_DIR;
  for (const StereoPair& pair : {StereoPair{"tsukuba", 16.0, 90.0}, StereoPair{"venus", 8.0, 90.0}})
    EXPECT_GE(ShareWithinOneLevel(pair), pair.required_share) << pair.name;
}

}  // namespace
