// GPU pipeline device buffers: path planes' initial fill and guards, zero result columns.
#include <gtest/gtest.h>

#include <algorithm>

#include "cl_pipeline_state.h"
#include "cl_pipeline_test_support.h"
#include "cl_runtime.h"
#include "cl_test_support.h"

namespace {

using pipetest::Parameters;

template <typename T>
std::vector<T> ReadAll(const cl::Buffer& buffer) {
  return cltest::Host<T>(buffer, buffer.getInfo<CL_MEM_SIZE>() / sizeof(T));
}

struct PathCase {
  const char* name;
  int d_range, radius, interval;
  unsigned long census_bits;  // px of the pipeline's census
};

class ClPipelinePathBuffers : public testing::TestWithParam<PathCase> {};

TEST_P(ClPipelinePathBuffers, EveryPlaneStartsAtTheInitialCostAndGuardsKeepIt) {
  constexpr int kHeight = 40, kWidth = 96;
  constexpr int kFewPaths = 2;  // the host holds two planes; the device has eight
  const PathCase c = GetParam();
  const uint16_t initial = static_cast<uint16_t>(c.census_bits + kMatcherPenalty2);
  pipetest::Init(Parameters(kHeight, kWidth, c.d_range, c.radius, true, 0, 255, kFewPaths, c.interval));
  std::vector<uint16_t> planes;
  auto gather = [&planes] {
    planes.clear();
    if (clPipelineOwner == ClPipelineOwner::kDisparity16) {
      for (const cl::Buffer& pair : clPipelineBuffers.path_pairs) {
        const std::vector<uint16_t> values = ReadAll<uint16_t>(pair);
        planes.insert(planes.end(), values.begin(), values.end());
      }
    } else {
      planes = ReadAll<uint16_t>(clPipelineBuffers.path);
    }
  };
  gather();
  constexpr size_t kDevicePlanes = 8;
  const size_t cells = kDevicePlanes * s_sgm_m * s_sgm_n;
  ASSERT_EQ(planes.size(), cells * (c.d_range + 2));
  EXPECT_EQ(std::count(planes.begin(), planes.end(), initial), static_cast<long>(planes.size()));

  pipetest::Process(MakeShiftedPair(kHeight, kWidth, 5, 5, 7));
  gather();
  const size_t cell = c.d_range + 2;
  long guards_changed = 0;
  for (size_t k = 0; k < cells; ++k)
    guards_changed += (planes[k * cell] != initial) + (planes[k * cell + cell - 1] != initial);
  EXPECT_EQ(guards_changed, 0);
  EXPECT_LT(std::count(planes.begin(), planes.end(), initial), static_cast<long>(planes.size()));
  libtessaro_close();
}

INSTANTIATE_TEST_SUITE_P(Pipelines, ClPipelinePathBuffers,
                         testing::Values(PathCase{"interval", 32, 3, 1, 4 * 7}, PathCase{"normal32", 32, 2, 0, 25},
                                         PathCase{"disparity16", 16, 1, 0, 9}),
                         [](const testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

TEST(ClPipelineCost, SixteenDisparityResultEndsInZeroColumns) {
  // The selection leaves the last D columns alone; they read 0 in every frame, the check included.
  constexpr int kHeight = 32, kWidth = 64, kRadius = 1, kDisparities = 16;
  const auto frames =
      pipetest::Run(Parameters(kHeight, kWidth, kDisparities, kRadius, true, 15, 1),
                    {MakeShiftedPair(kHeight, kWidth, 5, 9, 27), pipetest::NoisePair(kHeight, kWidth, 28)});
  for (const pipetest::Frame& frame : frames) {
    long nonzero = 0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = kWidth - kDisparities; x < kWidth; ++x) nonzero += frame.out[y * kWidth + x] != 0;
    EXPECT_EQ(nonzero, 0);
  }
}

}  // namespace
