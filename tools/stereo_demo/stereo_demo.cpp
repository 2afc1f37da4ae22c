// Matches a stereo scene with the CPU matcher, writes <out>/disparity.png (colourised, with a scale bar) and
// prints the bad-pixel rate and density against the scene's ground truth.
//   stereo_demo <scene folder> <out folder>
#include <cstdio>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "libtessaro.h"
#include "stereo_scene.h"

namespace {

constexpr unsigned long kCensusRadius = 3;
constexpr unsigned short kPenalty1 = 10;
constexpr unsigned short kPenalty2 = 100;
constexpr unsigned long kPaths = 8;
constexpr unsigned long kThreads = 6;
constexpr int kScaleHeight = 24;
constexpr int kScaleTicks = 4;
constexpr double kTextSize = 0.4;
constexpr int kMaxByte = 255;

// Colours disparities 0..disparities-1 with the jet map, black where there is no disparity, and adds a
// labelled scale bar underneath.
cv::Mat colourise(const cv::Mat& disparity, int disparities) {
  cv::Mat scaled, coloured;
  disparity.convertTo(scaled, CV_8U, static_cast<double>(kMaxByte) / disparities);
  cv::applyColorMap(scaled, coloured, cv::COLORMAP_JET);
  coloured.setTo(cv::Scalar::all(0), disparity == 0);
  cv::Mat ramp(kScaleHeight / 2, coloured.cols, CV_8U);
  for (int x = 0; x < ramp.cols; ++x) ramp.col(x).setTo(kMaxByte * x / std::max(1, ramp.cols - 1));
  cv::Mat bar;
  cv::applyColorMap(ramp, bar, cv::COLORMAP_JET);
  cv::Mat labels(kScaleHeight, coloured.cols, CV_8UC3, cv::Scalar::all(0));
  for (int t = 0; t <= kScaleTicks; ++t) {
    const int x = (coloured.cols - 1) * t / kScaleTicks;
    const std::string text = std::to_string(disparities * t / kScaleTicks);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, kTextSize, 1, &baseline);
    const int left = std::clamp(x - size.width / 2, 0, coloured.cols - size.width);
    cv::putText(labels, text, cv::Point(left, kScaleHeight - baseline - 2), cv::FONT_HERSHEY_SIMPLEX, kTextSize,
                cv::Scalar::all(kMaxByte));
  }
  cv::Mat image;
  cv::vconcat(std::vector<cv::Mat>{coloured, bar, labels}, image);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <scene folder> <out folder>\n", argv[0]);
    return 2;
  }
  StereoScene scene;
  std::string error;
  if (!LoadStereoScene(argv[1], scene, error)) {
    std::fprintf(stderr, "stereo_demo: %s\n", error.c_str());
    return 1;
  }
  tagSGMParameterSet set{};
  set.image_height = static_cast<uint64_t>(scene.left.rows);
  set.image_width = static_cast<uint64_t>(scene.left.cols);
  set.disparity_min = 0;
  set.disparity_max = scene.disparities;
  set.window_scale = kCensusRadius;
  set.ddr_disparity_range = static_cast<uint64_t>(scene.disparities);
  set.path_number = kPaths;
  set.thread_number = kThreads;
  set.sgm_penalty1 = kPenalty1;
  set.sgm_penalty2 = kPenalty2;
  if (libtessaro_init(set) != 0) {
    std::fprintf(stderr, "stereo_demo: the matcher refused its parameters\n");
    return 1;
  }
  cv::Mat disparity(scene.left.size(), CV_8U);
  libtessaro_process(disparity.data, scene.left.data, scene.right.data, false);
  libtessaro_close();

  std::error_code made;
  std::filesystem::create_directories(argv[2], made);
  const std::string path = std::string(argv[2]) + "/disparity.png";
  if (!cv::imwrite(path, colourise(disparity, scene.disparities))) {
    std::fprintf(stderr, "stereo_demo: cannot write %s\n", path.c_str());
    return 1;
  }
  cv::Mat measured;
  disparity.convertTo(measured, CV_32F);
  const DisparityScore score = ScoreDisparity(measured, scene);
  std::printf("scene %s %dx%d, D=%d, r=%lu, %lu paths: bad pixels %.2f %% (|d-gt|>1 over nonocc), density %.2f %%\n",
              scene.name.c_str(), scene.left.cols, scene.left.rows, scene.disparities, kCensusRadius, kPaths,
              score.bad_percent, score.density_percent);
  std::printf("wrote %s\n", path.c_str());
  return 0;
}
