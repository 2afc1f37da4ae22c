// Temporal narrowing of the search, the acceptance threshold, the out-of-window fill and winner-take-all ties.
#include "sgm_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "matcher_test_support.h"
#include "sgm_disparity.h"
#include "sgm_state.h"

namespace {

class PathAggregation : public ::testing::Test {
 protected:
  void TearDown() override { libtessaro_close(); }
  void Init(int disparity_min, int disparity_max, int window, uint16_t threshold = 100) {
    tagSGMParameterSet set = MatcherParameters(8, 8, disparity_min, disparity_max);
    set.ddr_disparity_range = static_cast<uint64_t>(window);
    set.ddr_threshold = threshold;
    ASSERT_EQ(libtessaro_init(set), 0);
  }
  static void ExpectRange(int previous, bool full, unsigned long begin, unsigned long end) {
    const SgmSearchRange range = sgm_search_range(previous, full);
    EXPECT_EQ(range.begin, begin) << "previous " << previous;
    EXPECT_EQ(range.end, end) << "previous " << previous;
  }
};

TEST_F(PathAggregation, WindowFollowsThePreviousResultRelativeToTheMinimumAndStopsAtTheEdges) {
  const struct {
    int disparity_min, disparity_max, window, previous;
    bool full;
    unsigned long begin, end;
  } cases[] = {
      {0, 32, 16, 3, false, 0, 16},   {0, 32, 16, 30, false, 16, 32}, {0, 32, 16, 16, false, 8, 24},
      {0, 32, 16, 16, true, 0, 32},   {0, 32, 15, 16, false, 9, 23},  // an odd window is one narrower in the middle
      {0, 32, 15, 0, false, 0, 15},   {0, 32, 15, 31, false, 17, 32}, {5, 37, 16, 5 + 16, false, 8, 24},
      {5, 37, 16, 5 + 3, false, 0, 16}, {5, 37, 16, 5 + 30, false, 16, 32},
      {5, 37, 16, 2, false, 16, 32},  // a stale value below the minimum wraps high and stays inside the cell
      {-4, 28, 16, uint8_t(-4 + 16), false, 8, 24}, {-4, 28, 16, uint8_t(-4 + 1), false, 0, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.disparity_min << ".." << c.disparity_max << " W " << c.window);
    Init(c.disparity_min, c.disparity_max, c.window);
    ExpectRange(c.previous, c.full, c.begin, c.end);
  }
}

TEST_F(PathAggregation, AWindowAsWideAsTheRangeSearchesItAll) {
  for (int disparities : {15, 16, 17}) {
    for (int window : {disparities, disparities + 1, 3 * disparities}) {
      Init(0, disparities, window);
      for (int previous : {0, disparities / 2, disparities - 1, 255}) ExpectRange(previous, false, 0, disparities);
    }
  }
}

// Two cells of one horizontal path: the previous pixel with its minimum at index 0 and 100 elsewhere.
struct TwoCells {
  static constexpr int kD = 16;
  uint16_t cells[2][kD + 2];
  uint16_t cost[kD];
  uint16_t minima[2] = {0, 0xEEEE};  // the previous cell's minimum is its entry 0
  unsigned char flag = 0;
  TwoCells() {
    std::fill(cells[0], cells[0] + kD + 2, 100);
    cells[0][1] = 0;
    std::fill(cells[1], cells[1] + kD + 2, 0xEEEE);
    for (int d = 0; d < kD; ++d) cost[d] = static_cast<uint16_t>(20 + d);
  }
  void Run(int previous, bool full) { sgm_path_pixel<0, -1>(flag, cells[1], cost, previous, full, minima + 1); }
};

TEST_F(PathAggregation, ABestCostEqualToTheThresholdIsAccepted) {
  const uint16_t p2 = 50;  // from MatcherParameters: the jump from the minimum costs 50
  // Window [4, 12) around 8: its best entry is cost[4] + min(100, 100 + P1, 100 + P1, 0 + P2) = 24 + 50 = 74.
  Init(0, TwoCells::kD, 8, 74);
  TwoCells accepted;
  accepted.Run(8, false);
  EXPECT_EQ(accepted.flag, 0);
  EXPECT_EQ(accepted.cells[1][5], 24 + p2);
  EXPECT_EQ(accepted.cells[1][1], 0xEEEE);  // outside the window nothing is written
  EXPECT_EQ(accepted.minima[1], 24 + p2);   // the cell's minimum counts the entries kept from before
  Init(0, TwoCells::kD, 8, 73);
  TwoCells rejected;
  rejected.Run(8, false);
  EXPECT_EQ(rejected.flag, 1);
}

TEST_F(PathAggregation, AFailedWindowFillsTheRestWithoutTheJumpTerm) {
  Init(0, TwoCells::kD, 8, 10);
  TwoCells pixel;
  pixel.Run(8, false);
  ASSERT_EQ(pixel.flag, 1);
  const uint16_t p1 = 8;
  for (int d = 0; d < TwoCells::kD; ++d) {
    const bool inside = d >= 4 && d < 12;
    uint16_t expected = static_cast<uint16_t>(pixel.cost[d] + (inside ? 50 : 100));
    if (d == 0) expected = pixel.cost[d];                              // the previous minimum itself
    if (d == 1) expected = static_cast<uint16_t>(pixel.cost[d] + p1);  // one step from it
    EXPECT_EQ(pixel.cells[1][d + 1], expected) << d;
  }
  EXPECT_EQ(pixel.cells[1][0], 0xEEEE);
  EXPECT_EQ(pixel.cells[1][TwoCells::kD + 1], 0xEEEE);
  EXPECT_EQ(pixel.minima[1], pixel.cost[0]);
}

TEST_F(PathAggregation, AFullRangePixelIsFlaggedAgainWhenItStillFails) {
  Init(0, TwoCells::kD, 8, 10);
  TwoCells pixel;
  pixel.Run(8, true);
  EXPECT_EQ(pixel.flag, 1);
  EXPECT_EQ(pixel.cells[1][1], pixel.cost[0]);
}

TEST_F(PathAggregation, WinnerTakeAllSumsEveryPlaneAndBreaksTiesTowardsTheSmallerDisparity) {
  tagSGMParameterSet set = MatcherParameters(7, 9, 3, 19);  // D = 16, reported from 3 up
  set.path_number = 3;
  ASSERT_EQ(libtessaro_init(set), 0);
  const unsigned long cell = sgm_cell_size(), plane = sgm_plane_size();
  std::fill(sgm_path_costs, sgm_path_costs + 3 * plane, 500);
  const unsigned long pixel = 4 * 9 + 5;
  // Index 7 is cheapest in plane 0, index 2 in plane 2; summed they tie, and index 2 wins.
  sgm_path_costs[pixel * cell + 1 + 7] = 400;
  sgm_path_costs[2 * plane + pixel * cell + 1 + 2] = 400;
  // A pixel whose only cheap entry is in the third plane.
  sgm_path_costs[2 * plane + (pixel + 1) * cell + 1 + 11] = 1;
  std::vector<uint8_t> out(7 * 9, 0xCC);
  sgm_calculate_disparity(out.data());
  EXPECT_EQ(out[pixel], 3 + 2);
  EXPECT_EQ(out[pixel + 1], 3 + 11);
  EXPECT_EQ(out[0], 3);  // all sums equal: the minimum disparity
}

}  // namespace

namespace {

TEST_F(PathAggregation, LimitsGivenByTheCallerOverrideTheParameters) {
  Init(0, 16, 4);
  const SgmSearchRange narrowed = sgm_search_range(8, false);
  EXPECT_EQ(narrowed.end - narrowed.begin, 4u);
  const SgmSearchRange full = sgm_search_range(8, false, sgm_full_range_limits());
  EXPECT_EQ(full.begin, 0u);
  EXPECT_EQ(full.end, 16u);
  EXPECT_EQ(sgm_params.window_width, 4u) << "the parameters stay as set";
}

}  // namespace
