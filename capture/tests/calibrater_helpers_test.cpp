// Tests of the low-level table helpers over integer maps and of the map turning functions.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "calibration_fixture.h"
#include "calibrater_dynamic.h"
#include "calibrater_image.h"
#include "table_probe.h"

using namespace calibration_fixture;
using table_probe::kVUCount;
using table_probe::kYCount;

namespace {

// Integer maps of a type b module in the file's layout (640 rows x 480 columns): x = r, y = 479 - c.
struct IntegerMaps {
  std::vector<int> x = std::vector<int>(kYCount), y = std::vector<int>(kYCount);
  IntegerMaps() {
    for (int k = 0; k < kYCount; ++k) {
      x[k] = k / 480;
      y[k] = 479 - k % 480;
    }
  }
};

class TableHelpers : public ::testing::Test {
 protected:
  void SetUp() override {
    // Sets the sensor type b (and the sizes) through an ordinary file.
    WriteCalibration(folder_.File("c.yml"), Header(), IdealTurnedMaps());
    ASSERT_EQ(CalibraterImageInit(folder_.File("c.yml").c_str(), 0.0f), 0);
  }
  void TearDown() override { CalibraterImageUnInit(); }
  TempFolder folder_;
};

TEST_F(TableHelpers, FreshTablesFilledFromIntegerMapsMatchTheFileTables) {
  ASSERT_EQ(CalibraterImageMallocMapMem(kYCount, kVUCount), 0);
  IntegerMaps maps;
  ASSERT_EQ(CalibraterImageYTable(maps.x.data(), maps.y.data(), maps.x.data(), maps.y.data()), 0);
  ASSERT_EQ(CalibraterImageVUTable(maps.x.data(), maps.y.data(), maps.x.data(), maps.y.data()), 0);
  std::vector<int> y_table, vu_table;
  table_probe::ColourTables(1, y_table, vu_table);
  for (int i = 0; i < kYCount; ++i) ASSERT_EQ(y_table[i], i);
  for (int j = 0; j < kVUCount; ++j) ASSERT_EQ(vu_table[j], 2 * j);
}

TEST_F(TableHelpers, FillingTablesOfAnotherSizeIsRefused) {
  ASSERT_EQ(CalibraterImageMallocMapMem(16, 4), 0);
  IntegerMaps maps;
  EXPECT_EQ(CalibraterImageYTable(maps.x.data(), maps.y.data(), maps.x.data(), maps.y.data()), 8);
  EXPECT_EQ(CalibraterImageVUTable(maps.x.data(), maps.y.data(), maps.x.data(), maps.y.data()), 8);
  CalibraterImagefreeMapMem();
  EXPECT_EQ(CalibraterImageYTable(maps.x.data(), maps.y.data(), maps.x.data(), maps.y.data()), 8);
  EXPECT_EQ(CalibraterImageMallocMapMem(-1, 4), 8);
}

TEST_F(TableHelpers, AxisCheckNamesTheFirstValueBeyondTheFrame) {
  IntegerMaps maps;
  EXPECT_EQ(CalibraterImageCheckAxis(maps.x.data(), maps.y.data(), maps.x.data(), maps.y.data()), 0);
  IntegerMaps right;
  right.y[100] = 481;
  EXPECT_EQ(CalibraterImageCheckAxis(maps.x.data(), maps.y.data(), right.x.data(), right.y.data()), 8);
  IntegerMaps left;
  left.x[5] = 641;
  EXPECT_EQ(CalibraterImageCheckAxis(left.x.data(), left.y.data(), maps.x.data(), maps.y.data()), 8);
  left.x[5] = 640;  // the marker is allowed
  EXPECT_EQ(CalibraterImageCheckAxis(left.x.data(), left.y.data(), maps.x.data(), maps.y.data()), 0);
}

TEST_F(TableHelpers, FreeingDropsEveryTable) {
  CalibraterImagefreeMapMem();
  std::vector<unsigned char> y(kYCount, 1), out(kYCount * 3 / 2);
  EXPECT_EQ(CalibraterImageProcess(y.data(), out.data(), 0), 3);
  std::vector<unsigned char> vu(kYCount / 2, 1);
  EXPECT_EQ(CalibraterYUVImageProcess(y.data(), vu.data(), out.data(), 0, true), 3);
}

TEST(MapTurning, ClockwiseAndCounterClockwiseFollowTheirFlips) {
  // 2 x 3 source [[0 1 2] [3 4 5]].
  cv::Mat source = (cv::Mat_<int>(2, 3) << 0, 1, 2, 3, 4, 5), turned;
  opencv_rotate_clockwise_90(source, turned);
  // Transposed [[0 3] [1 4] [2 5]], then rows reversed.
  EXPECT_EQ(cv::countNonZero(turned != (cv::Mat_<int>(3, 2) << 2, 5, 1, 4, 0, 3)), 0);
  opencv_rotate_counterclockwise_90(source, turned);
  // Transposed, then columns reversed.
  EXPECT_EQ(cv::countNonZero(turned != (cv::Mat_<int>(3, 2) << 3, 0, 4, 1, 5, 2)), 0);
}

}  // namespace
