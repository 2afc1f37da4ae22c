// The simulated sensor module as a stereo camera model in OpenCV terms: camera matrices,
// distortion rows, rotation and translation from the left to the right camera (centimetres).
#pragma once

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "board/sim_module_geometry.h"

namespace board {
namespace sim_module {

struct StereoModel {
  cv::Mat intrinsic[2];   // left, right: 3 x 3
  cv::Mat distortion[2];  // left, right: 1 x 5
  cv::Mat rotation;       // 3 x 3, X_right = rotation * X_left + translation
  cv::Mat translation;    // 3 x 1
};

inline cv::Mat IntrinsicOf(const Lens& lens) {
  return (cv::Mat_<double>(3, 3) << lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1);
}

inline cv::Mat DistortionOf(const Lens& lens) {
  return (cv::Mat_<double>(1, 5) << lens.k1, lens.k2, lens.p1, lens.p2, lens.k3);
}

inline StereoModel Model() {
  StereoModel model;
  model.intrinsic[0] = IntrinsicOf(kLeftLens);
  model.intrinsic[1] = IntrinsicOf(kRightLens);
  model.distortion[0] = DistortionOf(kLeftLens);
  model.distortion[1] = DistortionOf(kRightLens);
  cv::Rodrigues(cv::Mat(3, 1, CV_64F, const_cast<double*>(kRotationVector)).clone(), model.rotation);
  const cv::Mat direction = cv::Mat(3, 1, CV_64F, const_cast<double*>(kBaselineDirection)).clone();
  model.translation = direction * (kBaselineCm / cv::norm(direction));
  return model;
}

}  // namespace sim_module
}  // namespace board
