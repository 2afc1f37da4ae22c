// Tests of the per-frame remap of NV21 colour frames and grey Y planes through the tables.
#include <gtest/gtest.h>

#include <random>

#include "calibration_fixture.h"
#include "calibrater_image.h"
#include "table_probe.h"

using namespace calibration_fixture;
using table_probe::kColourBytes;
using table_probe::kVUBytes;
using table_probe::kVUCount;
using table_probe::kYCount;

namespace {

std::vector<unsigned char> RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(size);
  for (auto& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

class Remap : public ::testing::Test {
 protected:
  void SetUp() override {
    Maps maps = IdealTurnedMaps(1);
    maps.left_x_320.at<short>(4, 4) = 640;  // one grey marker
    WriteCalibration(folder_.File("c.yml"), Header(), maps);
    ASSERT_EQ(CalibraterImageInit(folder_.File("c.yml").c_str(), 0.0f), 0);
    y_ = RandomBytes(kYCount, 1);
    vu_ = RandomBytes(kVUBytes, 2);
    y_[0] = vu_[0] = vu_[1] = 200;  // bright first pixel: markers must still read black
  }
  void TearDown() override { CalibraterImageUnInit(); }

  TempFolder folder_;
  std::vector<unsigned char> y_, vu_;
};

TEST_F(Remap, GreyImageGathersThroughTheTable) {
  for (int camera : {0, 1}) {
    auto source = y_;
    const auto table = table_probe::GreyTable(camera);
    std::vector<unsigned char> out(kVUCount, 77);
    ASSERT_EQ(CalibraterImageProcess(source.data(), out.data(), camera), 0);
    EXPECT_EQ(source[0], 0);  // the first pixel, which markers read, is zeroed even when bright
    for (int i = 0; i < kVUCount; ++i) {
      const int r = i / 240, c = i % 240;
      const int raw_y = 478 - 2 * c + (camera == 1 ? 2 : 0);
      const bool marker = raw_y >= 480 || (camera == 0 && r == 4 && c == 4);
      const int entry = marker ? 0 : raw_y * 640 + 2 * r;  // entry 0 reads the zeroed first byte
      ASSERT_EQ(out[i], entry == 0 ? 0 : y_[entry]) << camera << " " << i;
    }
  }
}

TEST_F(Remap, ColourImageIsRectifiedIntoI420) {
  auto y = y_;
  auto vu = vu_;
  std::vector<unsigned char> out(kColourBytes, 77);
  ASSERT_EQ(CalibraterYUVImageProcess(y.data(), vu.data(), out.data(), 1, true), 0);
  // Right camera, one grey row of shift: raw rows move by 2; the last two rows have no source.
  for (int i = 0; i < kYCount; ++i) {
    const int row = i / 640 + 2;
    const int expected = row < 480 ? (row * 640 + i % 640 == 0 ? 0 : y_[row * 640 + i % 640]) : 0;
    ASSERT_EQ(out[i], expected) << i;
  }
  for (int j = 0; j < kVUCount; ++j) {
    const int full_row = 2 * (j / 320) + 1 + 2;  // the odd row of the 2 x 2 block, moved by 2
    const int pair = full_row < 480 ? (full_row / 2) * 640 + (j % 320) * 2 : -1;
    const int u = pair < 0 ? 0 : vu_[pair + 1], v = pair < 0 ? 0 : vu_[pair];
    ASSERT_EQ(out[kYCount + j], u) << j;
    ASSERT_EQ(out[kYCount + kVUCount + j], v) << j;
  }
}

TEST_F(Remap, WithoutTheColourFlagTheFrameIsOnlyRearranged) {
  auto y = y_;
  auto vu = vu_;
  std::vector<unsigned char> out(kColourBytes, 77);
  ASSERT_EQ(CalibraterYUVImageProcess(y.data(), vu.data(), out.data(), 0, false), 0);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[kYCount], 0);
  EXPECT_EQ(out[kYCount + kVUCount], 0);
  for (int i = 1; i < kYCount; ++i) ASSERT_EQ(out[i], y_[i]);
  for (int j = 1; j < kVUCount; ++j) {
    ASSERT_EQ(out[kYCount + j], vu_[2 * j + 1]);
    ASSERT_EQ(out[kYCount + kVUCount + j], vu_[2 * j]);
  }
}

TEST_F(Remap, UnknownCameraReturnsThreeAfterZeroingTheSource) {
  std::vector<unsigned char> out(kColourBytes, 77);
  auto y = y_;
  auto vu = vu_;
  EXPECT_EQ(CalibraterYUVImageProcess(y.data(), vu.data(), out.data(), 2, true), 3);
  EXPECT_EQ(CalibraterImageProcess(y.data(), out.data(), -1), 3);
  EXPECT_EQ(out, std::vector<unsigned char>(kColourBytes, 77));
  EXPECT_EQ(y[0], 0);
  EXPECT_EQ(vu[0], 0);
  EXPECT_EQ(vu[1], 0);
}

TEST_F(Remap, WithoutTablesNothingIsTouched) {
  CalibraterImageUnInit();
  std::vector<unsigned char> out(kColourBytes, 77);
  auto y = y_;
  auto vu = vu_;
  EXPECT_EQ(CalibraterImageProcess(y.data(), out.data(), 0), 3);
  EXPECT_EQ(CalibraterYUVImageProcess(y.data(), vu.data(), out.data(), 1, true), 3);
  EXPECT_EQ(y, y_);
  EXPECT_EQ(vu, vu_);
  EXPECT_EQ(out, std::vector<unsigned char>(kColourBytes, 77));
  // Re-arranging needs no table.
  EXPECT_EQ(CalibraterYUVImageProcess(y.data(), vu.data(), out.data(), 1, false), 0);
}

TEST_F(Remap, NullBuffersAreRefused) {
  std::vector<unsigned char> out(kColourBytes, 77);
  EXPECT_NE(CalibraterImageProcess(nullptr, out.data(), 0), 0);
  EXPECT_NE(CalibraterImageProcess(y_.data(), nullptr, 0), 0);
  EXPECT_NE(CalibraterYUVImageProcess(y_.data(), nullptr, out.data(), 0, true), 0);
  EXPECT_EQ(y_[0], 200);
}

TEST_F(Remap, ReInitialisationReplacesTablesWithoutLeaking) {
  // Run under the address sanitizer, a leaked table of an earlier init would be reported.
  for (int k = 0; k < 3; ++k) ASSERT_EQ(CalibraterImageInit(folder_.File("c.yml").c_str(), 0.0f), 0);
  std::vector<unsigned char> out(kVUCount);
  EXPECT_EQ(CalibraterImageProcess(y_.data(), out.data(), 0), 0);
}

}  // namespace
