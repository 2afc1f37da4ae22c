// Calibration files of the simulated sensor module, made from its ideal two-camera geometry.
#include "sim_module_calibration.h"

#include <opencv2/core.hpp>

#include "board/sim_module_geometry.h"
#include "calibrater_dynamic.h"

namespace sim_module_calibration {

namespace geometry = board::sim_module;

namespace {

// Distortion terms written for each camera (all zero: ideal lenses).
constexpr int kDistortionTerms = 5;

cv::Mat Intrinsic() {
  return (cv::Mat_<double>(3, 3) << geometry::kRawFocalLength, 0, geometry::kRawPrincipalX, 0,
          geometry::kRawFocalLength, geometry::kRawPrincipalY, 0, 0, 1);
}

}  // namespace

bool WriteParameterFile(const std::string& path) {
  try {
    cv::FileStorage file(path, cv::FileStorage::WRITE);
    if (!file.isOpened()) return false;
    const cv::Mat intrinsic = Intrinsic();
    const cv::Mat rotation = cv::Mat::eye(3, 3, CV_64F);
    // X_right = R * X_left + T: the right camera sits one baseline along the left camera's -y.
    const cv::Mat translation = (cv::Mat_<double>(3, 1) << 0.0, geometry::kBaselineCm, 0.0);
    cv::Mat projection_left = cv::Mat::zeros(3, 4, CV_64F), projection_right = cv::Mat::zeros(3, 4, CV_64F);
    intrinsic.copyTo(projection_left.colRange(0, 3));
    intrinsic.copyTo(projection_right.colRange(0, 3));
    projection_right.col(3) = intrinsic * translation;
    file << "zuq_type" << geometry::kZuqType;
    file << "left_intrinsic" << intrinsic << "right_intrinsic" << intrinsic;
    file << "left_discoeffs" << cv::Mat::zeros(1, kDistortionTerms, CV_64F);
    file << "right_discoeffs" << cv::Mat::zeros(1, kDistortionTerms, CV_64F);
    file << "projection_l" << projection_left << "projection_r" << projection_right;
    file << "rotation" << rotation << "transformation" << translation;
    file.release();
    return true;
  } catch (const cv::Exception&) {
    return false;
  }
}

int WriteCalibrationFiles(const std::string& parameter_path, const std::string& calibration_path) {
  if (!WriteParameterFile(parameter_path)) return 2;
  return GenerateDynamicCalibrationFile(parameter_path.c_str(), calibration_path.c_str(), geometry::kRawWidth,
                                        geometry::kRawHeight, geometry::kDisparityShift, geometry::kFocalLength,
                                        geometry::kStretch, geometry::kHorizontalTranslation,
                                        geometry::kVerticalTranslation);
}

}  // namespace sim_module_calibration
