// The 24 path-aggregation kernels against a plain semi-global recurrence written here.
#include <gtest/gtest.h>

#include <algorithm>

#include "cl_test_support.h"

namespace {

using cltest::Device;
using cltest::Host;
using cltest::Launch;

// Offset of the previous pixel p' from p for paths 0..7.
const long kPrevRow[8] = {0, 1, 1, 1, 0, -1, -1, -1};
const long kPrevCol[8] = {1, 1, 0, -1, -1, -1, 0, 1};

struct PathShape {
  long m, n, d_range, disparities, border;
  uint16_t p1, p2;
};

// Aggregates one path over the region rows b..m-b-1, columns b+D-1..n-b-1 into `plane`, whose cells
// outside the region keep their fill; terms wrap in 16 bits.
void ReferencePath(const std::vector<uint16_t>& cost, uint16_t* plane, int path, const PathShape& s) {
  const long stride = s.d_range + 2, top = s.border, bottom = s.m - s.border - 1;
  const long left = s.border + s.d_range - 1, right = s.n - s.border - 1;
  for (long i = 0; i <= bottom - top; ++i) {
    const long y = kPrevRow[path] > 0 ? bottom - i : top + i;
    for (long j = 0; j <= right - left; ++j) {
      const long x = kPrevCol[path] > 0 ? right - j : left + j;
      const uint16_t* prev = plane + ((y + kPrevRow[path]) * s.n + x + kPrevCol[path]) * stride;
      uint16_t* cell = plane + (y * s.n + x) * stride;
      const uint16_t min_prev = *std::min_element(prev + 1, prev + 1 + s.disparities);
      for (long d = 0; d < s.disparities; ++d) {
        const uint16_t step = std::min({prev[d + 1], uint16_t(prev[d] + s.p1), uint16_t(prev[d + 2] + s.p1),
                                        uint16_t(min_prev + s.p2)});
        cell[d + 1] = uint16_t(cost[(y * s.n + x) * s.d_range + d] + step - min_prev);
      }
    }
  }
}

cl::NDRange PathItems(int path, const PathShape& s) {
  if (path % 4 == 0) return cl::NDRange(s.m);
  if (path % 4 == 2) return cl::NDRange(s.n);
  return cl::NDRange((s.n - 2 * s.border - s.d_range + 1) + (s.m - 2 * s.border));
}

class ClPathKernels : public testing::Test {
 protected:
  static void SetUpTestSuite() { cltest::EnsureProgram(); }

  // Runs the eight kernels `prefix`k`suffix` with `args(k, buffer)` on `buffers` planes per buffer and
  // compares every value of every buffer, guards and cells outside the region included.
  template <typename SetArgs>
  void CheckFamily(const std::string& prefix, const std::string& suffix, const PathShape& s, long planes_per_buffer,
                   uint16_t fill, unsigned seed, int max_cost, SetArgs args) {
    const long plane_size = s.m * s.n * (s.d_range + 2);
    const auto cost = cltest::Random<uint16_t>(s.m * s.n * s.d_range, seed, 0, max_cost);
    std::vector<uint16_t> expected(8 * plane_size, fill);
    for (int path = 0; path < 8; ++path) ReferencePath(cost, expected.data() + path * plane_size, path, s);
    const cl::Buffer cost_device = Device(cost);
    std::vector<cl::Buffer> buffers;
    for (long b = 0; b < 8 / planes_per_buffer; ++b)
      buffers.push_back(Device(std::vector<uint16_t>(planes_per_buffer * plane_size, fill)));
    for (int path = 0; path < 8; ++path) {
      cl::Kernel kernel(program, (prefix + std::to_string(path) + suffix).c_str());
      kernel.setArg(0, cost_device);
      kernel.setArg(1, buffers[path / planes_per_buffer]);
      args(kernel);
      commandQueues.front().enqueueNDRangeKernel(kernel, cl::NullRange, PathItems(path, s), cl::NullRange);
    }
    std::vector<uint16_t> actual;
    for (const cl::Buffer& buffer : buffers) {
      const auto values = Host<uint16_t>(buffer, planes_per_buffer * plane_size);
      actual.insert(actual.end(), values.begin(), values.end());
    }
    for (int path = 0; path < 8; ++path)
      EXPECT_TRUE(std::equal(expected.begin() + path * plane_size, expected.begin() + (path + 1) * plane_size,
                             actual.begin() + path * plane_size))
          << "path " << path;
  }
};

TEST_F(ClPathKernels, BaseKernelsFullAndHalfResolutionBorders) {
  for (cl_ulong interval : {0UL, 1UL}) {
    SCOPED_TRACE(interval);
    const long r = 3;
    const PathShape s{10, 47, 32, 32, interval ? (r + 1) / 2 : r, 7, 90};
    const uint16_t fill = uint16_t(4 * (2 * r + 1) + s.p2);
    CheckFamily("clCensusCostPenaltyPath", "", s, 8, fill, 11, 28, [&](cl::Kernel& k) {
      k.setArg(2, cl_ulong(s.m)), k.setArg(3, cl_ulong(s.n)), k.setArg(4, cl_ulong(s.d_range));
      k.setArg(5, cl_ulong(r)), k.setArg(6, cl_ushort(s.p1)), k.setArg(7, cl_ushort(s.p2)), k.setArg(8, interval);
    });
  }
}

TEST_F(ClPathKernels, Disparity32Kernels) {
  const long r = 2;
  const PathShape s{9, 44, 32, 32, r, 10, 120};
  CheckFamily("clCensusCostPenaltyPath", "Disparity32", s, 8, uint16_t(25 + s.p2), 12, 25, [&](cl::Kernel& k) {
    k.setArg(2, cl_ulong(s.m)), k.setArg(3, cl_ulong(s.n)), k.setArg(4, cl_ulong(r));
    k.setArg(5, cl_ushort(s.p1)), k.setArg(6, cl_ushort(s.p2));
  });
}

// Costs over the whole 16-bit range make every sum wrap somewhere.
TEST_F(ClPathKernels, Disparity16KernelsWrapInSixteenBits) {
  const long r = 1;
  const PathShape s{7, 29, 16, 16, r, 300, 65000};
  CheckFamily("clCensusCostPenaltyPath", "Disparity16", s, 2, uint16_t(9 + s.p2), 13, 65535, [&](cl::Kernel& k) {
    k.setArg(2, cl_ulong(s.m)), k.setArg(3, cl_ulong(s.n)), k.setArg(4, cl_ulong(s.d_range));
    k.setArg(5, cl_ulong(r)), k.setArg(6, cl_ushort(s.p1)), k.setArg(7, cl_ushort(s.p2));
  });
}

}  // namespace
