// Without uniqueness test and left-right check, the 32- and 16-disparity GPU pipelines equal the CPU path.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cl_pipeline_test_support.h"

namespace {

struct Case {
  int width, height, d_range, shift, radius;
};

// Image size and disparity range of one test; each runs the four radii.
struct Setting {
  int width, height, d_range, shift;
};

class ClPipelineCpuEqual : public testing::TestWithParam<Setting> {};

TEST_P(ClPipelineCpuEqual, GpuMatchesCpuInsideThePathRegion) {
  constexpr double kMinShiftShare = 0.98;
  const Setting s = GetParam();
  std::vector<Case> cases;
  for (const int radius : {1, 2, 3, 5}) cases.push_back({s.width, s.height, s.d_range, s.shift, radius});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " D=" << c.d_range << " r=" << c.radius);
    const TestPair pair = MakeShiftedPair(c.height, c.width, c.shift, c.shift, 11u + c.radius);
    const auto cpu = pipetest::Run(pipetest::Parameters(c.height, c.width, c.d_range, c.radius, false), {pair});
    const auto gpu = pipetest::Run(pipetest::Parameters(c.height, c.width, c.d_range, c.radius, true), {pair});
    // Rows and columns every path reaches on both sides; the CPU path clears the last D columns.
    const int r = c.radius;
    long compared = 0, mismatches = 0, at_shift = 0;
    for (int y = r; y < c.height - r; ++y)
      for (int x = r + c.d_range - 1; x < c.width - c.d_range; ++x) {
        const uint8_t value = gpu[0].out[y * c.width + x];
        ++compared;
        mismatches += value != cpu[0].out[y * c.width + x];
        at_shift += value == c.shift;
      }
    std::printf("%dx%d D=%d r=%d: %ld pixels compared, %ld mismatches, %ld at shift %d\n", c.width, c.height, c.d_range,
                r, compared, mismatches, at_shift, c.shift);
    ASSERT_GT(compared, 0);
    EXPECT_EQ(mismatches, 0);
    EXPECT_GE(static_cast<double>(at_shift), kMinShiftShare * compared);
  }
}

// D = 32 at shift 7 and D = 16 at shift 5, on a small image and on the depth size standing upright.
INSTANTIATE_TEST_SUITE_P(Sizes, ClPipelineCpuEqual,
                         testing::Values(Setting{128, 64, 32, 7}, Setting{128, 64, 16, 5}, Setting{240, 320, 32, 7},
                                         Setting{240, 320, 16, 5}),
                         [](const testing::TestParamInfo<Setting>& info) {
                           const Setting& s = info.param;
                           return std::to_string(s.width) + "x" + std::to_string(s.height) + "_D" +
                                  std::to_string(s.d_range);
                         });

}  // namespace
