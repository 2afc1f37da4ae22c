// Tests of the simulated cameras' content: the passage scene's known disparity, image files.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <set>

#include "board/sim_module_geometry.h"
#include "sim_scene.h"

// Reading and converting an image through OpenCV registers GDAL's drivers and starts TBB's worker
// pool; the thread sanitizer cannot see their own synchronisation (uninstrumented), and that code
// is not ours.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libgdal.so\nrace:libtbb.so\n"; }

namespace {

using simcam::ModuleGeometry;
using simcam::PassageScene;
namespace module = board::sim_module;

// Share of camera-0 pixels that reappear in camera 1 the known parallax lower, over the pixels
// away from depth edges (occlusions) and with a whole-pixel parallax (walls have none).
double AgreeingShare(const cv::Mat& left, const cv::Mat& right, const cv::Mat& parallax, int* counted) {
  cv::Mat neighbourhood_max;
  cv::dilate(parallax, neighbourhood_max, cv::Mat(), cv::Point(-1, -1), 30);
  int agree = 0;
  *counted = 0;
  for (int v = 0; v < left.rows; ++v)
    for (int u = 0; u < left.cols; ++u) {
      const float exact = parallax.at<float>(v, u);
      const int p = static_cast<int>(std::lround(exact));
      if (std::abs(exact - p) > 1e-3f || neighbourhood_max.at<float>(v, u) != exact || v + p >= left.rows) continue;
      ++*counted;
      agree += left.at<uint16_t>(v, u) == right.at<uint16_t>(v + p, u);
    }
  return *counted == 0 ? 0.0 : static_cast<double>(agree) / *counted;
}

TEST(PassageSceneTest, CameraOneSeesCameraZerosViewTheKnownParallaxLower) {
  const ModuleGeometry geometry;
  const PassageScene scene(geometry);
  for (double seconds : {0.0, 0.73, 2.5}) {
    cv::Mat left, right;
    scene.Render(0, seconds, &left);
    scene.Render(1, seconds, &right);
    int counted = 0;
    const double share = AgreeingShare(left, right, scene.LeftParallax(seconds), &counted);
    EXPECT_GT(counted, geometry.width * geometry.height / 4);
    EXPECT_GT(share, 0.99) << "at " << seconds << " s";
  }
}

TEST(PassageSceneTest, ObjectsLieAtSeveralDepthsAndMove) {
  const ModuleGeometry geometry;
  const PassageScene scene(geometry);
  std::set<int> parallaxes;
  for (const auto& object : scene.Objects()) {
    parallaxes.insert(scene.ObjectParallax(object));
    EXPECT_NE(scene.ObjectCorner(object, 0.0), scene.ObjectCorner(object, 0.5));
    // Whole depth-image disparities, as the module's geometry gives them.
    EXPECT_DOUBLE_EQ(scene.ObjectParallax(object), module::kDepthScale * module::RectifiedDisparity(object.depth_m * 100));
  }
  EXPECT_EQ(parallaxes.size(), scene.Objects().size());
  EXPECT_GT(*parallaxes.begin(), geometry.ParallaxForDepth(PassageScene::kFloorDepthM));
  const cv::Mat parallax = scene.LeftParallax(1.0);
  for (const auto& object : scene.Objects()) {
    const cv::Point inside = scene.ObjectCorner(object, 1.0) + cv::Point(3, 3);
    if (!cv::Rect(0, 0, geometry.width, geometry.height).contains(inside)) continue;
    EXPECT_FLOAT_EQ(parallax.at<float>(inside), static_cast<float>(scene.ObjectParallax(object)));
  }
}

// A lens that shows the rectified view as it is.
simcam::LensWarp PinholeLens() {
  simcam::LensWarp lens;
  lens.rectified_x.create(480, 640, CV_32FC1);
  lens.rectified_y.create(480, 640, CV_32FC1);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      lens.rectified_x.at<float>(y, x) = static_cast<float>(x);
      lens.rectified_y.at<float>(y, x) = static_cast<float>(y);
    }
  return lens;
}

TEST(FileFramesTest, ImageFileBecomesNv21PlanesTurnedAsTheSensorsAreMounted) {
  const std::filesystem::path image = std::filesystem::path(STEREO_DATA_DIR) / "tsukuba" / "left.png";
  if (!std::filesystem::exists(image)) GTEST_SKIP() << "stereo data folder absent: " << image;
  std::vector<simcam::FileFrame> frames;
  std::string error;
  ASSERT_TRUE(simcam::LoadFileFrames({image.string()}, PinholeLens(), &frames, &error)) << error;
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].y.size(), cv::Size(640, 480));
  EXPECT_EQ(frames[0].vu.size(), cv::Size(640, 240));
  // Turned back clockwise, as the calibration turns the raw frame, luma is the image in the depth
  // image's portrait shape: the file's rows stay rows, so its disparity stays horizontal.
  cv::Mat grey = cv::imread(image.string(), cv::IMREAD_GRAYSCALE);
  cv::resize(grey, grey, cv::Size(480, 640), 0, 0, cv::INTER_AREA);
  cv::Mat turned_back, difference;
  cv::rotate(frames[0].y, turned_back, cv::ROTATE_90_CLOCKWISE);
  cv::absdiff(grey, turned_back, difference);
  EXPECT_LT(cv::mean(difference)[0], 3.0);
  EXPECT_FALSE(simcam::LoadFileFrames({"/no/such/image.png"}, PinholeLens(), &frames, &error));
}

}  // namespace
