// The interval-sampling GPU pipeline: half-size results at half scale and a reset covering every column.
#include <gtest/gtest.h>

#include <cstdio>

#include "cl_pipeline_test_support.h"

namespace {

using pipetest::Frame;
using pipetest::Parameters;

constexpr int kIntervalMode = 1;
constexpr int kDisparities = 32;
constexpr uint64_t kRatio = 15;

TEST(ClPipelineInterval, FullSizePairGivesHalfSizeMapsAtHalfTheShift) {
  constexpr int kHeight = 480, kWidth = 640, kShift = 10;
  constexpr double kMinShiftShare = 0.95;
  const TestPair pair = MakeShiftedPair(kHeight, kWidth, kShift, kShift, 71);
  for (const int radius : {3, 4}) {  // one and two bytes per asterisk arm
    SCOPED_TRACE(testing::Message() << "r=" << radius);
    pipetest::Init(Parameters(kHeight, kWidth, kDisparities, radius, true, 0, 255, 8, kIntervalMode));
    ASSERT_EQ(s_sgm_m, 240u);
    ASSERT_EQ(s_sgm_n, 320u);
    const Frame frame = pipetest::Process(pair);
    libtessaro_close();
    const int m = kHeight / 2, n = kWidth / 2, border = (radius + 1) / 2;
    long interior = 0, at_half_shift = 0;
    for (int y = border; y < m - border; ++y)
      for (int x = border + kDisparities - 1; x < n - border; ++x) {
        ++interior;
        at_half_shift += frame.out[y * n + x] == kShift / 2;
      }
    std::printf("interval 640x480 r=%d: %ld interior pixels, %ld at disparity %d\n", radius, interior, at_half_shift,
                kShift / 2);
    EXPECT_GE(static_cast<double>(at_half_shift), kMinShiftShare * interior);
    EXPECT_EQ(std::count(frame.err.begin(), frame.err.end(), 1), 0);
    EXPECT_EQ(frame.errmatch, 100);
  }
}

TEST(ClPipelineInterval, EveryFrameStartsFromAFreshErrorMap) {
  constexpr int kHeight = 64, kRadius = 1;
  // At full width 240 the half width 120 is not a multiple of 16: the reset must still reach its end.
  for (const int width : {240, 320}) {
    SCOPED_TRACE(testing::Message() << "n=" << width);
    const tagSGMParameterSet set =
        Parameters(kHeight, width, kDisparities, kRadius, true, kRatio, 255, 8, kIntervalMode);
    const TestPair noise = pipetest::NoisePair(kHeight, width, 81);
    const TestPair flat = pipetest::UniformPair(kHeight, width, 120);
    // Unrelated images flag much inside the path region; a flat pair flags nothing there.
    const auto after_noise = pipetest::Run(set, {noise, flat});
    const auto fresh = pipetest::Run(set, {flat});
    ASSERT_GT(std::count(after_noise[0].err.begin(), after_noise[0].err.end(), 1),
              std::count(fresh[0].err.begin(), fresh[0].err.end(), 1));
    EXPECT_EQ(after_noise[1].err, fresh[0].err);
    EXPECT_EQ(after_noise[1].out, fresh[0].out);
  }
}

TEST(ClPipelineInterval, LeftRightDifferenceHasNoEffect) {
  constexpr int kHeight = 96, kWidth = 192, kRadius = 2;
  const TestPair pair = MakeShiftedPair(kHeight, kWidth, 8, 20, 91);
  const auto strict =
      pipetest::Run(Parameters(kHeight, kWidth, kDisparities, kRadius, true, kRatio, 0, 8, kIntervalMode), {pair});
  const auto loose =
      pipetest::Run(Parameters(kHeight, kWidth, kDisparities, kRadius, true, kRatio, 255, 8, kIntervalMode), {pair});
  EXPECT_EQ(strict[0].out, loose[0].out);
  EXPECT_EQ(strict[0].err, loose[0].err);
}

TEST(ClPipelineInterval, OtherDisparityRangesMatchOnTheCpu) {
  // Only D = 32 has an interval pipeline; any other range runs on the CPU with OpenCL on or off alike.
  constexpr int kHeight = 64, kWidth = 160, kRadius = 2;
  const TestPair pair = MakeShiftedPair(kHeight, kWidth, 6, 6, 95);
  for (const int d_range : {16, 48}) {
    SCOPED_TRACE(testing::Message() << "D=" << d_range);
    const auto gpu =
        pipetest::Run(Parameters(kHeight, kWidth, d_range, kRadius, true, 0, 255, 8, kIntervalMode), {pair});
    const auto cpu =
        pipetest::Run(Parameters(kHeight, kWidth, d_range, kRadius, false, 0, 255, 8, kIntervalMode), {pair});
    EXPECT_EQ(gpu[0].out, cpu[0].out);
  }
}

}  // namespace
