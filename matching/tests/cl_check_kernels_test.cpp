// Selection with the uniqueness test, right disparity, left-right check, error-match fill and the
// per-frame reset, against plain references written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "cl_test_support.h"

namespace {

using cltest::Device;
using cltest::Host;
using cltest::Launch;

struct Selection {
  std::vector<uint8_t> disparity, failed;
  std::vector<uint16_t> minimum;
};

// Winner-take-all over the 16-bit sums of `planes` (each m x n cells of D+2 values); the smaller
// disparity wins ties; a disparity two or more away within the uniqueness ratio fails the pixel.
Selection ReferenceSelection(const std::vector<const uint16_t*>& planes, long pixels, long d_range, long summed,
                             uint64_t ratio) {
  Selection out{std::vector<uint8_t>(pixels), std::vector<uint8_t>(pixels), std::vector<uint16_t>(pixels)};
  for (long p = 0; p < pixels; ++p) {
    std::vector<uint16_t> sum(summed, 0);
    for (const uint16_t* plane : planes)
      for (long d = 0; d < summed; ++d) sum[d] = uint16_t(sum[d] + plane[p * (d_range + 2) + 1 + d]);
    const uint16_t minimum = *std::min_element(sum.begin(), sum.end());
    const long best = std::find(sum.begin(), sum.end(), minimum) - sum.begin();
    bool failed = false;
    for (long d = 0; d < d_range; ++d)
      failed = failed || (uint64_t(sum[d]) * (100 - ratio) < uint64_t(minimum) * 100 && std::labs(best - d) > 1);
    out.disparity[p] = failed ? 0 : uint8_t(best);
    out.failed[p] = failed;
    out.minimum[p] = minimum;
  }
  return out;
}

class ClCheckKernels : public testing::Test {
 protected:
  static void SetUpTestSuite() { cltest::EnsureProgram(); }
};

// Small path costs give many equal sums; the ratios cover never (0, above 100) and always (100).
TEST_F(ClCheckKernels, SelectionOverEightPlanesAndFourPairs) {
  const long m = 3, n = 37, pixels = m * n;
  for (uint64_t ratio : {0UL, 15UL, 60UL, 100UL, 150UL}) {
    for (long d_range : {32L, 24L, 16L}) {
      SCOPED_TRACE(testing::Message() << "ratio " << ratio << " D " << d_range);
      const long plane_size = pixels * (d_range + 2);
      const auto paths = cltest::Random<uint16_t>(8 * plane_size, unsigned(ratio + d_range), 0, 3);
      std::vector<const uint16_t*> planes;
      for (long k = 0; k < 8; ++k) planes.push_back(paths.data() + k * plane_size);
      const Selection expected = ReferenceSelection(planes, pixels, d_range, d_range, ratio);
      const cl::Buffer disparity = Device(std::vector<uint8_t>(pixels, 99)), minimum = Device(std::vector<uint16_t>(pixels, 0));
      const cl::Buffer failed = Device(std::vector<uint8_t>(pixels, 0));
      if (d_range != 16) {
        Launch("clCalculateDisparity", cl::NDRange(n, m), cl::NullRange, Device(paths), disparity, cl_ulong(m),
               cl_ulong(n), cl_ulong(d_range), cl_ulong(ratio), minimum, failed);
      } else {
        std::vector<cl::Buffer> pairs;
        for (long b = 0; b < 4; ++b)
          pairs.push_back(Device(std::vector<uint16_t>(paths.begin() + 2 * b * plane_size, paths.begin() + (2 * b + 2) * plane_size)));
        Launch("clCalculateDisparityDisparity16", cl::NDRange(n, m), cl::NullRange, pairs[0], pairs[1], pairs[2],
               pairs[3], disparity, cl_ulong(m), cl_ulong(n), cl_ulong(d_range), cl_ulong(ratio), minimum, failed);
      }
      EXPECT_EQ(Host<uint8_t>(disparity, pixels), expected.disparity);
      EXPECT_EQ(Host<uint8_t>(failed, pixels), expected.failed);
      EXPECT_EQ(Host<uint16_t>(minimum, pixels), expected.minimum);
      if (ratio == 0 || ratio > 100) {
        EXPECT_EQ(expected.failed, std::vector<uint8_t>(pixels, 0));
      }
    }
  }
}

// Equal minimum costs are common, so the leftmost left pixel must win.
TEST_F(ClCheckKernels, RightDisparityTakesTheCheapestLeftmostMatch) {
  const long m = 4, n = 41;
  const uint16_t initial = 8 * 9;
  const auto left = cltest::Random(m * n, 21, 0, 15);
  const auto cost = cltest::Random<uint16_t>(m * n, 22, 60, 75);
  std::vector<uint16_t> right_cost(m * n, initial);
  std::vector<uint8_t> right(m * n, 0);
  for (long y = 0; y < m; ++y)
    for (long x = 0; x < n; ++x) {
      const long target = y * n + x - left[y * n + x];
      if (x > left[y * n + x] && right_cost[target] > cost[y * n + x])
        right_cost[target] = cost[y * n + x], right[target] = left[y * n + x];
    }
  const cl::Buffer right_cost_device = Device(std::vector<uint16_t>(m * n, initial));
  const cl::Buffer right_device = Device(std::vector<uint8_t>(m * n, 0));
  Launch("clCalculateRightDisparity", cl::NDRange(m), cl::NullRange, Device(cost), right_cost_device, Device(left),
         right_device, cl_ulong(n));
  EXPECT_EQ(Host<uint8_t>(right_device, m * n), right);
  EXPECT_EQ(Host<uint16_t>(right_cost_device, m * n), right_cost);
}

// Column 0 with disparity 0 has no right neighbour one column further left: it counts as differing.
TEST_F(ClCheckKernels, LeftRightCheckFlagsOnlyDoubleMismatches) {
  const long m = 5, n = 33;
  auto left = cltest::Random(m * n, 31, 0, 9), flags = cltest::Random(m * n, 33, 0, 1);
  const auto right = cltest::Random(m * n, 32, 0, 9);
  for (long y = 0; y < m; ++y) left[y * n] = flags[y * n] = 0;  // column 0 at disparity 0, unflagged
  for (cl_ulong max_diff : {0UL, 1UL, 3UL, 255UL}) {
    SCOPED_TRACE(max_diff);
    std::vector<uint8_t> expected = flags;
    for (long y = 0; y < m; ++y)
      for (long x = 0; x < n; ++x) {
        const uint8_t l = left[y * n + x];
        if (l > 0 && x <= l) continue;
        const bool first = std::abs(right[y * n + x - l] - l) > long(max_diff);
        const bool second = x - l - 1 < 0 || std::abs(right[y * n + x - l - 1] - uint8_t(l - 1)) > long(max_diff);
        if (first && second) expected[y * n + x] = 1;
      }
    const cl::Buffer flags_device = Device(flags);
    Launch("clLRCheckDisparity", cl::NDRange(n, m), cl::NullRange, Device(left), Device(right), flags_device,
           cl_ulong(n), max_diff);
    EXPECT_EQ(Host<uint8_t>(flags_device, m * n), expected);
    if (max_diff == 255) {
      EXPECT_EQ(expected, flags);
    }
  }
}

TEST_F(ClCheckKernels, ErrorMatchFillAveragesNearestUnflaggedNeighbours) {
  const long m = 6, n = 29;
  auto disparity = cltest::Random(m * n, 41, 0, 31);
  auto flags = cltest::Random(m * n, 42, 0, 2);  // 2 counts as unflagged
  for (long x = 0; x < n; ++x) flags[x] = 1;      // a row with no unflagged pixel at all
  for (long x = 0; x < n; ++x) flags[n + x] = x < n - 1;  // only the last pixel unflagged
  std::vector<uint8_t> expected = disparity;
  for (long y = 0; y < m; ++y)
    for (long x = 1; x < n; ++x) {
      if (flags[y * n + x] != 1) continue;
      int left = 0, right = 0;
      for (long i = x - 1; i >= 0; --i)
        if (flags[y * n + i] != 1) { left = disparity[y * n + i]; break; }
      for (long i = x + 1; i < n; ++i)
        if (flags[y * n + i] != 1) { right = disparity[y * n + i]; break; }
      expected[y * n + x] = uint8_t((left + right) / 2);
    }
  const cl::Buffer disparity_device = Device(disparity);
  Launch("clErrMatchProcessDisparity", cl::NDRange(n, m), cl::NullRange, disparity_device, Device(flags), cl_ulong(n));
  EXPECT_EQ(Host<uint8_t>(disparity_device, m * n), expected);
  EXPECT_EQ(expected[n + 5], disparity[2 * n - 1] / 2);
}

TEST_F(ClCheckKernels, FrameResetCoversWholeBlocks) {
  const long m = 3, n = 48;
  const cl::Buffer right_cost = Device(std::vector<uint16_t>(m * n, 1)), left_min = Device(std::vector<uint16_t>(m * n, 1));
  std::vector<cl::Buffer> bytes;
  for (int i = 0; i < 3; ++i) bytes.push_back(Device(std::vector<uint8_t>(m * n, 1)));
  Launch("clDataInitDisparity", cl::NDRange(n / 16, m), cl::NullRange, right_cost, bytes[0], left_min, bytes[1],
         bytes[2], cl_ushort(8 * 49), cl_ulong(n));
  EXPECT_EQ(Host<uint16_t>(right_cost, m * n), std::vector<uint16_t>(m * n, 8 * 49));
  EXPECT_EQ(Host<uint16_t>(left_min, m * n), std::vector<uint16_t>(m * n, 8 * 49));
  for (const cl::Buffer& b : bytes) EXPECT_EQ(Host<uint8_t>(b, m * n), std::vector<uint8_t>(m * n, 0));
}

}  // namespace
