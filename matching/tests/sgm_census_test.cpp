// Census transform and matching cost: signatures by direct comparison for window sizes of one to six
// words, full signatures, the matched columns, and the refusal of unknown radii.
#include "sgm_census.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "matcher_test_support.h"
#include "sgm_state.h"

namespace {

constexpr uint16_t kUntouched = 0xFFFF;

class Census : public ::testing::Test {
 protected:
  void TearDown() override { libtessaro_close(); }

  void Init(int height, int width, int disparity_max, int radius) {
    ASSERT_EQ(libtessaro_init(MatcherParameters(height, width, 0, disparity_max, radius)), 0);
    std::fill(sgm_cost_volume, sgm_cost_volume + s_sgm_m * s_sgm_n * disparity_max, kUntouched);
  }
  uint16_t Cost(int y, int x, int d) const {
    return sgm_cost_volume[(static_cast<size_t>(y) * s_sgm_n + x) * sgm_params.disparity_count + d];
  }
};

// The cost from the definition: window positions where one side is brighter than its centre and the other not.
int DirectCost(const std::vector<uint8_t>& left, const std::vector<uint8_t>& right, int n, int r, int y, int x, int d) {
  int differing = 0;
  for (int i = -r; i <= r; ++i)
    for (int j = -r; j <= r; ++j)
      differing +=
          (left[(y + i) * n + x + j] > left[y * n + x]) != (right[(y + i) * n + x - d + j] > right[y * n + x - d]);
  return differing;
}

TEST_F(Census, EveryRadiusMatchesTheDefinitionOnRandomImages) {
  std::mt19937 random(7);
  for (int r = 1; r <= 9; ++r) {
    const int height = 2 * r + 5, width = 16 * 3 + 5 + 2 * r + 8, disparities = 8;  // rows of odd width
    Init(height, width, disparities, r);
    std::vector<uint8_t> left(height * width), right(height * width);
    for (uint8_t& v : left) v = static_cast<uint8_t>(random() % 8);  // few levels: many equal neighbours
    for (uint8_t& v : right) v = static_cast<uint8_t>(random() % 8);
    calculate_census(sgm_cost_volume, left.data(), right.data(), r);
    for (int y = r; y < height - r; ++y)
      for (int x = disparities + r - 1; x < width - r; ++x)
        for (int d = 0; d < disparities; ++d)
          ASSERT_EQ(Cost(y, x, d), DirectCost(left, right, width, r, y, x, d))
              << "r=" << r << " y=" << y << " x=" << x << " d=" << d;
  }
}

TEST_F(Census, APixelDarkerThanAllNeighboursDiffersInEveryBitButTheCentre) {
  for (int r = 1; r <= 9; ++r) {
    const int height = 2 * r + 3, width = 60;
    Init(height, width, 16, r);
    std::vector<uint8_t> left(height * width, 100), right(height * width, 100);
    const int y = r + 1, x = 40;
    left[y * width + x] = 0;        // every neighbour is brighter
    left[y * width + x + 1] = 255;  // brighter than all: an empty signature
    calculate_census(sgm_cost_volume, left.data(), right.data(), r);
    for (int d = 0; d < 16; ++d) {
      ASSERT_EQ(Cost(y, x, d), (2 * r + 1) * (2 * r + 1) - 1) << "r=" << r;
      ASSERT_EQ(Cost(y, x + 1, d), 0) << "r=" << r;
    }
  }
}

TEST_F(Census, OnlyRowsAndColumnsWithAFullSearchRangeGetACost) {
  for (int r : {1, 2}) {
    const int height = 11, width = 50;
    Init(height, width, 32, r);
    const std::vector<uint8_t> image(height * width, 10);
    calculate_census(sgm_cost_volume, image.data(), image.data(), r);
    const int first = r == 2 ? 33 : 32;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const bool matched = y >= r && y < height - r && x >= first && x < width - r;
        ASSERT_EQ(Cost(y, x, 0), matched ? 0 : kUntouched) << "r=" << r << " y=" << y << " x=" << x;
      }
  }
}

TEST_F(Census, AnUnknownRadiusLeavesTheCostsAndSaysSo) {
  Init(9, 40, 16, 1);
  const std::vector<uint8_t> image(9 * 40, 10);
  for (unsigned long radius : {0ul, 10ul}) {
    testing::internal::CaptureStdout();
    calculate_census(sgm_cost_volume, image.data(), image.data(), radius);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "window_scale error\n");
    EXPECT_TRUE(
        std::all_of(sgm_cost_volume, sgm_cost_volume + 9 * 40 * 16, [](uint16_t v) { return v == kUntouched; }));
  }
  testing::internal::CaptureStdout();
  calculate_census(sgm_cost_volume, image.data(), image.data(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "window_scale: 1\n");
}

}  // namespace
