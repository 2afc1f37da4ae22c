// Calibration files of the simulated sensor module, made from its two-camera model.
#include "sim_module_calibration.h"

#include <opencv2/core.hpp>

#include "board/sim_module_model.h"
#include "calibrater_dynamic.h"

namespace sim_module_calibration {

namespace geometry = board::sim_module;

bool WriteParameterFile(const std::string& path) {
  try {
    cv::FileStorage file(path, cv::FileStorage::WRITE);
    if (!file.isOpened()) return false;
    const geometry::StereoModel model = geometry::Model();
    // Projections as a calibration tool would record them (read and not used by the system).
    cv::Mat projection_left = cv::Mat::zeros(3, 4, CV_64F);
    model.intrinsic[0].copyTo(projection_left.colRange(0, 3));
    cv::Mat right_pose;
    cv::hconcat(model.rotation, model.translation, right_pose);
    const cv::Mat projection_right = model.intrinsic[1] * right_pose;
    file << "zuq_type" << geometry::kZuqType;
    file << "left_intrinsic" << model.intrinsic[0] << "right_intrinsic" << model.intrinsic[1];
    file << "left_discoeffs" << model.distortion[0] << "right_discoeffs" << model.distortion[1];
    file << "projection_l" << projection_left << "projection_r" << projection_right;
    file << "rotation" << model.rotation << "transformation" << model.translation;
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
