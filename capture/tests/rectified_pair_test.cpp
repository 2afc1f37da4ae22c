// The simulated cameras through capture and the module's calibration file: the rectified grey
// pair shows the passage floor at the disparity the module's geometry gives for its depth.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <vector>

#include "board/sim_module_geometry.h"
#include "cam.h"
#include "calibrater_image.h"
#include "capture_test_support.h"

namespace {

namespace module = board::sim_module;

constexpr double kFloorDepthCm = 250.0;  // the built-in passage scene's floor
constexpr int kSearchedDisparities = 40;

// Share of pixels of the left grey image equal to the right one `disparity` columns to the left.
double AgreementAt(const std::vector<unsigned char>& left, const std::vector<unsigned char>& right, int width,
                   int height, int disparity) {
  size_t agree = 0, counted = 0;
  for (int r = 0; r < height; ++r)
    for (int c = disparity; c < width; ++c) {
      ++counted;
      agree += left[r * width + c] == right[r * width + c - disparity];
    }
  return static_cast<double>(agree) / counted;
}

TEST(RectifiedPairTest, FloorShowsAtItsKnownDisparity) {
  capture_test::MakeBoardRoot();
  const std::string calibration = std::string(SIM_MODULE_DATA_DIR) + "/sim_module_calibration.yml";
  ASSERT_EQ(CalibraterImageInit(calibration.c_str(), 0.0f), CALIBRATER_OK);
  int height = 0, width = 0;
  CalibraterImageGetDepthHeightAndWidth(&height, &width);
  ASSERT_EQ(height, module::kDepthHeight);
  ASSERT_EQ(width, module::kDepthWidth);

  simcam::Configure(capture_test::ManualSettings());
  ASSERT_EQ(cam_init(), 0);
  ASSERT_EQ(cam_start(), 0);
  ASSERT_EQ(simcam::DeliverFrames(), 2);
  cam_frame_t left, right;
  ASSERT_TRUE(cam_dqbuf(&left, &right));
  std::vector<unsigned char> left_grey(width * height), right_grey(width * height);
  ASSERT_EQ(CalibraterImageProcess(left.y_plane, left_grey.data(), 0), CALIBRATER_OK);
  ASSERT_EQ(CalibraterImageProcess(right.y_plane, right_grey.data(), 1), CALIBRATER_OK);
  cam_stop();
  CalibraterImageUnInit();

  const int expected = static_cast<int>(module::RectifiedDisparity(kFloorDepthCm));
  std::vector<double> shares;
  for (int d = 0; d < kSearchedDisparities; ++d) shares.push_back(AgreementAt(left_grey, right_grey, width, height, d));
  // The floor fills about 40 % of the view between the walls; only the box tops (1.2, 1.5 and
  // 2.0 m deep) match at other shifts.
  EXPECT_GT(shares[expected], 0.3);
  const std::set<int> box_disparities{static_cast<int>(module::RectifiedDisparity(120)),
                                      static_cast<int>(module::RectifiedDisparity(150)),
                                      static_cast<int>(module::RectifiedDisparity(200))};
  for (int d = 0; d < kSearchedDisparities; ++d) {
    if (d == expected) continue;
    EXPECT_LT(shares[d], shares[expected]) << "disparity " << d;
    // Box tops have coarse texture (two-pixel grain at 1.2 m), so a shift one off still half-matches.
    if (box_disparities.count(d) == 0 && box_disparities.count(d - 1) == 0 && box_disparities.count(d + 1) == 0) {
      EXPECT_LT(shares[d], shares[expected] / 4) << "disparity " << d;
    }
  }
}

}  // namespace
