// Rebuilds the simulated sensor module's calibration files and compares them with the committed ones.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include <opencv2/core.hpp>

#include "board/sim_module_geometry.h"
#include "calibrater_image.h"
#include "sim_module_calibration.h"
#include "test_support/temp_folder.h"

namespace {

namespace geometry = board::sim_module;

const char* const kHeaderKeys[] = {"version", "zuq_type", "yuv_image_width", "yuv_image_height",
                                   "baseline", "focal_length", "disparity_shift", "disparity_range"};
const char* const kMapKeys[] = {"left_x_640", "left_y_640", "right_x_640", "right_y_640",
                                "left_x_320", "left_y_320", "right_x_320", "right_y_320"};
const char* const kParameterKeys[] = {"left_intrinsic", "right_intrinsic", "left_discoeffs", "right_discoeffs",
                                      "projection_l", "projection_r", "rotation", "transformation"};

class SimModuleCalibration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim_module_calibration::WriteCalibrationFiles(Rebuilt(sim_module_calibration::kParameterFileName),
                                                            Rebuilt(sim_module_calibration::kCalibrationFileName)),
              0);
  }
  void TearDown() override {
    CalibraterImageUnInit();
  }
  std::string Rebuilt(const char* name) const { return folder_.File(name); }
  static std::string Committed(const char* name) { return std::string(SIM_MODULE_DATA_DIR) + "/" + name; }

  // Expects the two files to hold the same text values and identical matrices under `keys`.
  static void ExpectSame(const std::string& committed_path, const std::string& rebuilt_path,
                         const std::vector<const char*>& text_keys, const std::vector<const char*>& matrix_keys) {
    cv::FileStorage committed(committed_path, cv::FileStorage::READ);
    cv::FileStorage rebuilt(rebuilt_path, cv::FileStorage::READ);
    ASSERT_TRUE(committed.isOpened()) << committed_path;
    for (const char* key : text_keys) {
      EXPECT_FALSE(committed[key].empty()) << key;
      EXPECT_EQ(committed[key].isString(), rebuilt[key].isString()) << key;
      EXPECT_EQ(committed[key].real(), rebuilt[key].real()) << key;
      EXPECT_EQ(committed[key].string(), rebuilt[key].string()) << key;
    }
    for (const char* key : matrix_keys) {
      cv::Mat a, b;
      committed[key] >> a;
      rebuilt[key] >> b;
      ASSERT_FALSE(a.empty()) << key;
      ASSERT_EQ(a.type(), b.type()) << key;
      ASSERT_EQ(a.size(), b.size()) << key;
      EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0) << key;
    }
  }

  test_support::TempFolder folder_{"sim_calib"};
};

TEST_F(SimModuleCalibration, RebuiltCalibrationFileEqualsTheCommittedOne) {
  ExpectSame(Committed(sim_module_calibration::kCalibrationFileName),
             Rebuilt(sim_module_calibration::kCalibrationFileName), {std::begin(kHeaderKeys), std::end(kHeaderKeys)},
             {std::begin(kMapKeys), std::end(kMapKeys)});
}

TEST_F(SimModuleCalibration, RebuiltParameterFileEqualsTheCommittedOne) {
  ExpectSame(Committed(sim_module_calibration::kParameterFileName),
             Rebuilt(sim_module_calibration::kParameterFileName), {"zuq_type"},
             {std::begin(kParameterKeys), std::end(kParameterKeys)});
}

// The rectified pair through the module's lenses is checked through the whole camera (the video
// device's passage-scene test) and against OpenCV's maps (the dynamic calibration's tests).
TEST_F(SimModuleCalibration, CommittedFileGivesTheGeometrysDepthImage) {
  ASSERT_EQ(CalibraterImageInit(Committed(sim_module_calibration::kCalibrationFileName).c_str(), 0.0f), 0);
  int height = 0, width = 0;
  CalibraterImageGetDepthHeightAndWidth(&height, &width);
  EXPECT_EQ(height, geometry::kDepthHeight);
  EXPECT_EQ(width, geometry::kDepthWidth);
  EXPECT_EQ(CalibraterImageGetFocalLength(), geometry::kFocalLength);
  EXPECT_EQ(CalibraterImageGetZUQType(), 1);
}

TEST(SimModuleGeometry, DisparityAndDepthAreInverse) {
  EXPECT_DOUBLE_EQ(geometry::RectifiedDisparity(100.0), 30.0);
  EXPECT_DOUBLE_EQ(geometry::DepthForDisparity(geometry::RectifiedDisparity(250.0)), 250.0);
  EXPECT_DOUBLE_EQ(geometry::RawRowParallax(100.0), 2 * geometry::RectifiedDisparity(100.0));
}

}  // namespace
