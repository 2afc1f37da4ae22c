// Tests of the simulated cameras' content: the passage scene's known disparity, image files.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <set>

#include "sim_scene.h"

namespace {

using simcam::ModuleGeometry;
using simcam::PassageScene;

// Share of camera-0 pixels whose reflectance reappears in camera 1 at the given disparity.
double MatchingShare(const cv::Mat& left, const cv::Mat& right, const cv::Mat& disparity, const cv::Rect& area) {
  int same = 0;
  int counted = 0;
  for (int v = area.y; v < area.br().y; ++v)
    for (int u = area.x; u < area.br().x; ++u) {
      const float exact = disparity.at<float>(v, u);
      const int d = static_cast<int>(std::lround(exact));
      if (u - d < 0 || std::abs(exact - d) > 1e-3f) continue;  // walls: no whole-pixel shift
      ++counted;
      same += left.at<uint8_t>(v, u) == right.at<uint8_t>(v, u - d);
    }
  return counted == 0 ? 0.0 : static_cast<double>(same) / counted;
}

TEST(PassageSceneTest, RightViewIsTheLeftViewShiftedByTheKnownDisparity) {
  const ModuleGeometry geometry;
  const PassageScene scene(geometry);
  for (double seconds : {0.0, 0.73, 2.5}) {
    cv::Mat left, right;
    scene.Render(0, seconds, &left);
    scene.Render(1, seconds, &right);
    const cv::Mat disparity = scene.LeftDisparity(seconds);
    // Away from depth edges (occlusions) the views agree pixel for pixel.
    cv::Mat dilated;
    cv::dilate(disparity, dilated, cv::Mat(), cv::Point(-1, -1), 25);
    int agree = 0, total = 0;
    for (int v = 0; v < geometry.height; ++v)
      for (int u = 40; u < geometry.width; ++u) {
        if (std::abs(dilated.at<float>(v, u) - disparity.at<float>(v, u)) > 0.5f) continue;
        const float exact = disparity.at<float>(v, u);
        const int d = static_cast<int>(std::lround(exact));
        if (std::abs(exact - d) > 1e-3f) continue;  // walls: no whole-pixel shift to compare
        ++total;
        agree += left.at<uint8_t>(v, u) == right.at<uint8_t>(v, u - d);
      }
    ASSERT_GT(total, geometry.width * geometry.height / 4);
    EXPECT_GT(static_cast<double>(agree) / total, 0.97) << "at " << seconds << " s";
  }
}

TEST(PassageSceneTest, ObjectsLieAtSeveralDepthsAndMove) {
  const ModuleGeometry geometry;
  const PassageScene scene(geometry);
  std::set<int> disparities;
  for (const auto& object : scene.Objects()) {
    disparities.insert(scene.ObjectDisparity(object));
    EXPECT_NE(scene.ObjectCorner(object, 0.0), scene.ObjectCorner(object, 0.5));
  }
  EXPECT_EQ(disparities.size(), scene.Objects().size());
  EXPECT_GT(*disparities.rbegin(), std::lround(geometry.DisparityForDepth(PassageScene::kFloorDepthM)));
  // Each object's top shows in both views at its own disparity.
  cv::Mat left, right;
  scene.Render(0, 1.0, &left);
  scene.Render(1, 1.0, &right);
  const cv::Mat disparity = scene.LeftDisparity(1.0);
  for (const auto& object : scene.Objects()) {
    const cv::Point corner = scene.ObjectCorner(object, 1.0);
    const cv::Rect inner = cv::Rect(corner + cv::Point(2, 2), cv::Size(6, 6)) & cv::Rect(0, 0, 640, 480);
    if (inner.area() < 36) continue;
    EXPECT_FLOAT_EQ(disparity.at<float>(inner.y, inner.x), static_cast<float>(scene.ObjectDisparity(object)));
  }
  EXPECT_GT(MatchingShare(left, right, disparity, cv::Rect(100, 0, 440, 480)), 0.9);
}

TEST(FileFramesTest, ImageFileBecomesNv21Planes) {
  const std::filesystem::path image = std::filesystem::path(STEREO_DATA_DIR) / "tsukuba" / "left.png";
  if (!std::filesystem::exists(image)) GTEST_SKIP() << "stereo data folder absent: " << image;
  std::vector<simcam::FileFrame> frames;
  std::string error;
  ASSERT_TRUE(simcam::LoadFileFrames({image.string()}, 640, 480, &frames, &error)) << error;
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].y.size(), cv::Size(640, 480));
  EXPECT_EQ(frames[0].vu.size(), cv::Size(640, 240));
  // Luma follows the image's own grey values.
  cv::Mat grey = cv::imread(image.string(), cv::IMREAD_GRAYSCALE);
  cv::resize(grey, grey, cv::Size(640, 480), 0, 0, cv::INTER_AREA);
  cv::Mat difference;
  cv::absdiff(grey, frames[0].y, difference);
  EXPECT_LT(cv::mean(difference)[0], 3.0);
  EXPECT_FALSE(simcam::LoadFileFrames({"/no/such/image.png"}, 640, 480, &frames, &error));
}

}  // namespace
