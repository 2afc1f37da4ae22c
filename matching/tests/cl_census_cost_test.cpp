// GPU census cost of the CPU path: set-up through the init seam, the cost volume it reads back, and
// the cases where the CPU census must run instead.
#include <gtest/gtest.h>

#include <bitset>

#include "cl_census.h"
#include "cl_pipeline_test_support.h"
#include "cl_test_support.h"
#include "opencl_seam.h"

namespace {

tagSGMParameterSet Parameters(long m, long n, int d_range, long r, int interval) {
  return pipetest::Parameters(int(m), int(n), d_range, int(r), true, pipetest::kNoUniquenessTest,
                              pipetest::kNoLeftRightCheck, 8, interval);
}

void Init(const tagSGMParameterSet& set) {
  testing::internal::CaptureStdout();
  tessaro_opencl_init(set, nullptr);
  testing::internal::GetCapturedStdout();
}

// Costs of the area the CPU aggregation reads (rows r..m-r-1, columns D+r-1..n-r-1) as the CPU census
// defines them; the columns left of D, which no kernel writes, are zero.
void ExpectCpuCensusCost(const std::vector<uint16_t>& cost, const std::vector<uint8_t>& left,
                         const std::vector<uint8_t>& right, long m, long n, long d_range, long r) {
  const auto left_words = cltest::SquareCensus(left, m, n, r), right_words = cltest::SquareCensus(right, m, n, r);
  const long planes = left_words.size() / (m * n);
  long mismatches = 0;
  for (long y = 0; y < m; ++y)
    for (long x = 0; x < n - r; ++x)
      for (long d = 0; d < d_range; ++d) {
        const long pixel = y * n + x;
        uint16_t expected = 0;
        if (x < d_range) {
          mismatches += cost[pixel * d_range + d] != 0;
          continue;
        }
        if (y < r || y >= m - r || x < d_range + r - 1) continue;
        for (long k = 0; k < planes; ++k)
          expected += std::bitset<8>(left_words[k * m * n + pixel] ^ right_words[k * m * n + pixel - d]).count();
        mismatches += cost[pixel * d_range + d] != expected;
      }
  EXPECT_EQ(mismatches, 0);
}

TEST(ClCensusCost, SeamFillsTheCostVolumeForOtherRanges) {
  struct Case { long m, n; int d_range; long r; };
  for (const Case c : {Case{13, 80, 24, 2}, Case{9, 96, 48, 7}, Case{11, 64, 20, 1}}) {
    SCOPED_TRACE(testing::Message() << "D " << c.d_range << " r " << c.r);
    Init(Parameters(c.m, c.n, c.d_range, c.r, 0));
    const auto left = cltest::Random(c.m * c.n, unsigned(c.r), 0, 255);
    const auto right = cltest::Random(c.m * c.n, unsigned(c.r + 50), 0, 255);
    std::vector<uint16_t> cost(c.m * c.n * c.d_range, 0xFFFF);
    ASSERT_TRUE(tessaro_opencl_census(cost.data(), left.data(), right.data()));
    ExpectCpuCensusCost(cost, left, right, c.m, c.n, c.d_range, c.r);
  }
  EXPECT_EQ(commandQueues.size(), 1u);
}

TEST(ClCensusCost, CpuCensusRunsWhereNoCensusBuffersWereMade) {
  const long m = 8, n = 32;
  std::vector<uint16_t> cost(m * n * 24, 7);
  const std::vector<uint8_t> image(m * n, 0);
  for (const auto& set : {Parameters(m, n, 24, 2, 1), Parameters(m, n, 32, 2, 0), Parameters(m, n, 16, 2, 0)}) {
    Init(set);
    EXPECT_FALSE(tessaro_opencl_census(cost.data(), image.data(), image.data()));
  }
  EXPECT_EQ(cost, std::vector<uint16_t>(m * n * 24, 7));
}

// The set-up reports its OpenCL failure like every other step instead of ending unreported.
TEST(ClCensusCostDeathTest, FailingSetUpIsReported) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(Init(Parameters(1L << 16, 1L << 16, 24, 2, 0)), testing::ExitedWithCode(CL_INVALID_BUFFER_SIZE & 0xff),
              "clError: err : CL_INVALID_BUFFER_SIZE \\(-61\\)\nclError: what: clCreateBuffer\n");
}

}  // namespace
