// Reads the stereo scenes with ground truth and scores disparity images against them.
#include "stereo_scene.h"

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// Ground-truth scale and a search range per known scene (from the scenes' own description).
struct SceneFacts {
  const char* name;
  double ground_truth_scale;
  int disparities;
};
constexpr SceneFacts kKnownScenes[] = {{"tsukuba", 16.0, 16}, {"venus", 8.0, 32}};
constexpr double kBadPixelTolerance = 1.0;
constexpr double kPercent = 100.0;

std::string folder_name(const std::string& folder) {
  std::string trimmed = folder;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

bool LoadStereoScene(const std::string& folder, StereoScene& scene, std::string& error) {
  scene.name = folder_name(folder);
  const SceneFacts* facts = nullptr;
  for (const SceneFacts& known : kKnownScenes)
    if (scene.name == known.name) facts = &known;
  if (facts == nullptr) {
    error = "unknown scene '" + scene.name + "' (known: tsukuba, venus)";
    return false;
  }
  scene.left = cv::imread(folder + "/left.png", cv::IMREAD_GRAYSCALE);
  scene.right = cv::imread(folder + "/right.png", cv::IMREAD_GRAYSCALE);
  const cv::Mat ground_truth = cv::imread(folder + "/gt.png", cv::IMREAD_GRAYSCALE);
  scene.nonoccluded = cv::imread(folder + "/nonocc.png", cv::IMREAD_GRAYSCALE);
  if (scene.left.empty() || scene.right.empty() || ground_truth.empty() || scene.nonoccluded.empty()) {
    error = "cannot read left.png, right.png, gt.png and nonocc.png in " + folder;
    return false;
  }
  ground_truth.convertTo(scene.ground_truth, CV_32F, 1.0 / facts->ground_truth_scale);
  scene.disparities = facts->disparities;
  return true;
}

DisparityScore ScoreDisparity(const cv::Mat& disparity, const StereoScene& scene) {
  long bad = 0;
  long counted = 0;
  long dense = 0;
  for (int y = 0; y < disparity.rows; ++y) {
    for (int x = 0; x < disparity.cols; ++x) {
      const float d = disparity.at<float>(y, x);
      const bool has_disparity = d > 0.0f;
      dense += has_disparity;
      if (scene.nonoccluded.at<unsigned char>(y, x) == 0) continue;
      ++counted;
      if (!has_disparity || std::fabs(d - scene.ground_truth.at<float>(y, x)) > kBadPixelTolerance) ++bad;
    }
  }
  const double pixels = static_cast<double>(disparity.total());
  return {counted == 0 ? 0.0 : kPercent * bad / counted, pixels == 0 ? 0.0 : kPercent * dense / pixels};
}
