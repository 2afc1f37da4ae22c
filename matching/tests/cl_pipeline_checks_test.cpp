// The uniqueness test, left-right check and fill of the full-resolution GPU pipelines on crafted inputs.
#include <gtest/gtest.h>

#include <cstdlib>

#include "cl_pipeline_state.h"
#include "cl_pipeline_test_support.h"
#include "cl_runtime.h"

namespace {

using pipetest::Frame;
using pipetest::Parameters;

constexpr int kHeight = 48;
constexpr int kWidth = 112;  // seven census blocks
constexpr int kRadius = 2;
constexpr uint64_t kRatio = 15;
constexpr uint64_t kWrappingRatio = 101;  // above 100 the unsigned factor wraps: nothing fails

class ClPipelineChecks : public testing::TestWithParam<int> {
 protected:
  int d_range() const { return GetParam(); }
  // Whether (y, x) lies inside the rows and columns every path kernel writes.
  bool InPathRegion(int y, int x) const {
    return y >= kRadius && y < kHeight - kRadius && x >= kRadius + d_range() - 1 && x < kWidth - kRadius;
  }
  // Whether the selection step visits column x (the 16-disparity selection stops D columns early).
  bool Selected(int x) const { return d_range() == 32 || x < kWidth - d_range(); }
};

TEST_P(ClPipelineChecks, RatioZeroLeavesTheErrorMapEmpty) {
  const TestPair pair = MakeShiftedPair(kHeight, kWidth, 6, 3, 21);
  const Frame frame = pipetest::Run(Parameters(kHeight, kWidth, d_range(), kRadius, true), {pair})[0];
  EXPECT_EQ(std::count(frame.err.begin(), frame.err.end(), 1), 0);
  EXPECT_EQ(frame.errmatch, 100);
}

TEST_P(ClPipelineChecks, FlatImageFailsExactlyOutsideThePathRegion) {
  // Inside the region every cost is 0, so all sums are equal at 0 and nothing lies below the minimum;
  // outside, all sums are equal above 0 and every disparity two away fails the test.
  const TestPair flat = pipetest::UniformPair(kHeight, kWidth, 90);
  const Frame frame = pipetest::Run(Parameters(kHeight, kWidth, d_range(), kRadius, true, kRatio), {flat})[0];
  long wrong_flags = 0, nonzero = 0, flagged = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const bool expected = !InPathRegion(y, x) && Selected(x);
      wrong_flags += frame.err[y * kWidth + x] != (expected ? 1 : 0);
      flagged += expected;
      nonzero += frame.out[y * kWidth + x] != 0;
    }
  EXPECT_EQ(wrong_flags, 0);
  EXPECT_EQ(nonzero, 0);
  EXPECT_EQ(frame.errmatch, static_cast<int>(100 - flagged * 100 / (kHeight * kWidth)));

  const Frame wrapped = pipetest::Run(Parameters(kHeight, kWidth, d_range(), kRadius, true, kWrappingRatio), {flat})[0];
  EXPECT_EQ(std::count(wrapped.err.begin(), wrapped.err.end(), 1), 0);
}

// Right disparity, left-right check and fill of one image, written plainly from their definitions.
std::vector<uint8_t> ReferenceChecks(const std::vector<uint8_t>& selected, const std::vector<uint16_t>& min_cost,
                                     uint16_t reset_cost, int lr_max_diff) {
  std::vector<uint8_t> result = selected;
  for (int y = 0; y < kHeight; ++y) {
    const uint8_t* left = &selected[y * kWidth];
    std::vector<uint16_t> right_cost(kWidth, reset_cost);
    std::vector<int> right(kWidth, 0);
    for (int x = 0; x < kWidth; ++x)
      if (x > left[x] && right_cost[x - left[x]] > min_cost[y * kWidth + x]) {
        right_cost[x - left[x]] = min_cost[y * kWidth + x];
        right[x - left[x]] = left[x];
      }
    std::vector<bool> flag(kWidth, false);
    for (int x = 0; x < kWidth; ++x) {
      const int l = left[x];
      if (l > 0 && x <= l) continue;
      const bool differs = std::abs(right[x - l] - l) > lr_max_diff;
      const bool below_differs = x - l - 1 < 0 || std::abs(right[x - l - 1] - ((l + 255) % 256)) > lr_max_diff;
      flag[x] = differs && below_differs;
    }
    for (int x = 1; x < kWidth; ++x) {
      if (!flag[x]) continue;
      int before = 0, after = 0;
      for (int k = x - 1; k >= 0; --k)
        if (!flag[k]) {
          before = left[k];
          break;
        }
      for (int k = x + 1; k < kWidth; ++k)
        if (!flag[k]) {
          after = left[k];
          break;
        }
      result[y * kWidth + x] = static_cast<uint8_t>((before + after) / 2);
    }
  }
  return result;
}

TEST_P(ClPipelineChecks, LeftRightCheckAndFillFollowTheReference) {
  // A box at another disparity occludes a strip of the background: the check has pixels to flag.
  const TestPair pair = MakeShiftedPair(kHeight, kWidth, 4, 11, 33);
  const int lr_max_diff = 1;
  // With a maximum difference of 255 nothing is flagged: the result is the plain selection.
  pipetest::Init(Parameters(kHeight, kWidth, d_range(), kRadius, true));
  const Frame selected = pipetest::Process(pair);
  std::vector<uint16_t> min_cost(kHeight * kWidth);
  commandQueues.front().enqueueReadBuffer(clPipelineBuffers.left_min_cost, CL_TRUE, 0,
                                          min_cost.size() * sizeof(uint16_t), min_cost.data());
  libtessaro_close();

  const uint16_t reset_cost = static_cast<uint16_t>(8 * (2 * kRadius + 1) * (2 * kRadius + 1));
  const std::vector<uint8_t> expected = ReferenceChecks(selected.out, min_cost, reset_cost, lr_max_diff);
  ASSERT_NE(expected, selected.out) << "the crafted pair gives the check nothing to do";

  // Two identical frames: the second starts from what the first left on the device.
  const auto checked =
      pipetest::Run(Parameters(kHeight, kWidth, d_range(), kRadius, true, 0, lr_max_diff), {pair, pair});
  EXPECT_EQ(checked[0].out, expected);
  EXPECT_EQ(checked[1].out, checked[0].out);
  EXPECT_EQ(checked[1].err, checked[0].err);
}

TEST_P(ClPipelineChecks, IdenticalFramesGiveIdenticalResults) {
  const TestPair pair = MakeShiftedPair(kHeight, kWidth, 5, 9, 45);
  const TestPair noise = pipetest::NoisePair(kHeight, kWidth, 46);
  const auto frames =
      pipetest::Run(Parameters(kHeight, kWidth, d_range(), kRadius, true, kRatio, 1), {pair, noise, pair});
  EXPECT_EQ(frames[2].out, frames[0].out);
  EXPECT_EQ(frames[2].err, frames[0].err);
  EXPECT_GT(std::count(frames[1].err.begin(), frames[1].err.end(), 1), 0);
}

TEST_P(ClPipelineChecks, FourAndEightPathsGiveTheSameResult) {
  // The GPU pipelines always aggregate over eight paths, whatever the record asks for.
  const TestPair pair = MakeShiftedPair(kHeight, kWidth, 5, 9, 57);
  const auto four = pipetest::Run(Parameters(kHeight, kWidth, d_range(), kRadius, true, kRatio, 1, 4), {pair});
  const auto eight = pipetest::Run(Parameters(kHeight, kWidth, d_range(), kRadius, true, kRatio, 1, 8), {pair});
  EXPECT_EQ(four[0].out, eight[0].out);
  EXPECT_EQ(four[0].err, eight[0].err);
}

INSTANTIATE_TEST_SUITE_P(Disparities, ClPipelineChecks, testing::Values(16, 32));

}  // namespace
