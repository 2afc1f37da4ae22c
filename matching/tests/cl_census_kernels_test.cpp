// Census and census-cost kernels against plain references written here, on odd image sizes.
#include <gtest/gtest.h>

#include <bitset>

#include "cl_test_support.h"

namespace {

using cltest::Device;
using cltest::Host;
using cltest::Launch;

constexpr uint16_t kUnwritten = 0xBEEF;
const long kRadii[] = {1, 2, 3, 4, 7};
const long kDisparityRanges[] = {16, 24, 32, 48};

// Hamming cost of left (row, col) against right (row, col - d) over `planes` byte planes.
uint16_t Hamming(const std::vector<uint8_t>& left, const std::vector<uint8_t>& right, long plane_size, long planes,
                 long pixel, long d) {
  uint16_t sum = 0;
  for (long k = 0; k < planes; ++k) sum += std::bitset<8>(left[k * plane_size + pixel] ^ right[k * plane_size + pixel - d]).count();
  return sum;
}

class ClCensusKernels : public testing::Test {
 protected:
  static void SetUpTestSuite() { cltest::EnsureProgram(); }
};

TEST_F(ClCensusKernels, SquareCensusCoversWholeBlocksWithMissingNeighboursSet) {
  const long m = 11, n = 53;  // three blocks of 16 columns; columns 48..52 get no words
  const auto image = cltest::Random(m * n, 1, 0, 255);
  for (long r : kRadii) {
    SCOPED_TRACE(r);
    const long planes = ((2 * r + 1) * (2 * r + 1) - 1) / 8 + 1;
    auto expected = cltest::SquareCensus(image, m, n, r);
    for (long k = 0; k < planes; ++k)
      for (long y = 0; y < m; ++y)
        for (long x = n / 16 * 16; x < n; ++x) expected[k * m * n + y * n + x] = 0;
    const cl::Buffer words = Device(std::vector<uint8_t>(planes * m * n, 0));
    Launch("clCalculateCensusWindows", cl::NDRange(n / 16, m), cl::NullRange, words, Device(image), cl_ulong(m),
        cl_ulong(n), cl_ulong(r));
    EXPECT_EQ(Host<uint8_t>(words, planes * m * n), expected);
  }
}

TEST_F(ClCensusKernels, CensusOfBothImagesFromRowROn) {
  const long m = 9, n = 32, r = 2, planes = 4;
  const auto left = cltest::Random(m * n, 2, 0, 255), right = cltest::Random(m * n, 3, 0, 255);
  auto expected_left = cltest::SquareCensus(left, m, n, r), expected_right = cltest::SquareCensus(right, m, n, r);
  for (long k = 0; k < planes; ++k)
    for (long i = 0; i < r * n; ++i) expected_left[k * m * n + i] = expected_right[k * m * n + i] = 0;
  const std::vector<uint8_t> zero(planes * m * n, 0);
  const cl::Buffer left_words = Device(zero), right_words = Device(zero);
  Launch("clCalculateCensusWindowsAll", cl::NDRange(n / 16, m - r), cl::NDRange(0, r), right_words, Device(right),
      left_words, Device(left), cl_ulong(m), cl_ulong(n), cl_ulong(r));
  EXPECT_EQ(Host<uint8_t>(left_words, zero.size()), expected_left);
  EXPECT_EQ(Host<uint8_t>(right_words, zero.size()), expected_right);
}

// Every (r, D) pair: columns D .. n-1 hold the Hamming costs, every other entry stays unwritten, also
// when D is not a multiple of 16.
TEST_F(ClCensusKernels, SquareCostMatchesHammingDistanceForEveryRadiusAndRange) {
  const long m = 5, n = 67;
  const auto left = cltest::Random(m * n, 4, 0, 255), right = cltest::Random(m * n, 5, 0, 255);
  for (long r : kRadii) {
    const auto left_words = cltest::SquareCensus(left, m, n, r), right_words = cltest::SquareCensus(right, m, n, r);
    const long planes = left_words.size() / (m * n);
    for (long d_range : kDisparityRanges) {
      SCOPED_TRACE(testing::Message() << "r " << r << " D " << d_range);
      std::vector<uint16_t> expected(m * n * d_range, kUnwritten);
      for (long pixel = 0; pixel < m * n; ++pixel)
        for (long d = 0; pixel % n >= d_range && d < d_range; ++d)
          expected[pixel * d_range + d] = Hamming(left_words, right_words, m * n, planes, pixel, d);
      const cl::Buffer cost = Device(std::vector<uint16_t>(expected.size(), kUnwritten));
      Launch("clCalculateCensusCost", cl::NDRange(n, m), cl::NullRange, cost, Device(left_words), Device(right_words),
          cl_ulong(m), cl_ulong(n), cl_ulong(d_range), cl_ulong(planes));
      EXPECT_EQ(Host<uint16_t>(cost, expected.size()), expected);
    }
  }
}

TEST_F(ClCensusKernels, Cost32StartsAtColumnRPlusD) {
  const long m = 4, n = 50, d_range = 32;
  for (long r : {1L, 3L}) {
    SCOPED_TRACE(r);
    const auto left_words = cltest::SquareCensus(cltest::Random(m * n, 6, 0, 255), m, n, r);
    const auto right_words = cltest::SquareCensus(cltest::Random(m * n, 7, 0, 255), m, n, r);
    const long planes = left_words.size() / (m * n);
    std::vector<uint16_t> expected(m * n * d_range, kUnwritten);
    for (long pixel = 0; pixel < m * n; ++pixel)
      for (long d = 0; pixel % n >= r + d_range && d < d_range; ++d)
        expected[pixel * d_range + d] = Hamming(left_words, right_words, m * n, planes, pixel, d);
    const cl::Buffer cost = Device(std::vector<uint16_t>(expected.size(), kUnwritten));
    Launch("clCalculateCensusCost32", cl::NDRange(n, m), cl::NullRange, cost, Device(left_words), Device(right_words),
        cl_ulong(m), cl_ulong(n), cl_ulong(d_range), cl_ulong(planes), cl_ulong(r));
    EXPECT_EQ(Host<uint16_t>(cost, expected.size()), expected);
  }
}

// Radius 9 words have 46 bytes: a cost of up to 368 must not wrap at 256.
TEST_F(ClCensusKernels, CostCountsBeyond255Bits) {
  const long m = 1, n = 32, d_range = 16, planes = 46;
  const cl::Buffer cost = Device(std::vector<uint16_t>(n * d_range, 0));
  Launch("clCalculateCensusCost", cl::NDRange(n, m), cl::NullRange, cost, Device(std::vector<uint8_t>(planes * n, 0xFF)),
      Device(std::vector<uint8_t>(planes * n, 0)), cl_ulong(m), cl_ulong(n), cl_ulong(d_range), cl_ulong(planes));
  EXPECT_EQ(Host<uint16_t>(cost, n * d_range)[(n - 1) * d_range + 3], planes * 8);
}

// Asterisk census of the full-size image at even rows and columns, arms packed in chunks of eight.
std::vector<uint8_t> AsteriskCensus(const std::vector<uint8_t>& image, long m, long n, long r) {
  const long chunks = r / 4 + 1, rows = m / 2, cols = n / 2;
  const long arm_row[4] = {0, 1, 1, -1}, arm_col[4] = {1, 1, 0, 1};
  std::vector<uint8_t> words(4 * chunks * rows * cols, 0);
  for (long y = 0; y < rows; ++y)
    for (long x = 0; x < n / 16 * 8; ++x)
      for (long arm = 0; arm < 4; ++arm)
        for (long t = -r; t <= r; ++t) {
          const long yy = 2 * y + arm_row[arm] * t, xx = 2 * x + arm_col[arm] * t;
          const bool outside = yy < 0 || yy >= m || xx < 0 || xx >= n;
          uint8_t& word = words[(arm * chunks + (t + r) / 8) * rows * cols + y * cols + x];
          word = static_cast<uint8_t>(word << 1 | (outside || image[yy * n + xx] > image[2 * y * n + 2 * x]));
        }
  return words;
}

TEST_F(ClCensusKernels, AsteriskCensusAndCostAtHalfResolution) {
  const long m = 15, n = 82;  // half size 7 x 41; the census covers output columns 0..39
  const auto left = cltest::Random(m * n, 8, 0, 255), right = cltest::Random(m * n, 9, 0, 255);
  for (long r : {1L, 3L, 4L, 7L}) {
    const long rows = m / 2, cols = n / 2, planes = 4 * (r / 4 + 1), border = (r + 1) / 2;
    const auto left_words = AsteriskCensus(left, m, n, r), right_words = AsteriskCensus(right, m, n, r);
    const cl::Buffer left_device = Device(std::vector<uint8_t>(left_words.size(), 0));
    const cl::Buffer right_device = Device(std::vector<uint8_t>(right_words.size(), 0));
    Launch("clCalculateCensusAsterriskWindows", cl::NDRange(n / 16, rows), cl::NullRange, left_device, Device(left),
        cl_ulong(m), cl_ulong(n), cl_ulong(r));
    Launch("clCalculateCensusAsterriskWindows", cl::NDRange(n / 16, rows), cl::NullRange, right_device, Device(right),
        cl_ulong(m), cl_ulong(n), cl_ulong(r));
    ASSERT_EQ(Host<uint8_t>(left_device, left_words.size()), left_words) << "r " << r;
    for (long d_range : {16L, 24L}) {
      SCOPED_TRACE(testing::Message() << "r " << r << " D " << d_range);
      std::vector<uint16_t> expected(rows * cols * d_range, kUnwritten);
      for (long y = border; y < rows - border; ++y)
        for (long x = border + d_range - 1; x < cols - border; ++x)
          for (long d = 0; d < d_range; ++d)
            expected[(y * cols + x) * d_range + d] = Hamming(left_words, right_words, rows * cols, planes, y * cols + x, d);
      const cl::Buffer cost = Device(std::vector<uint16_t>(expected.size(), kUnwritten));
      Launch("clCalculateAsterriskWindowsCensusCost", cl::NDRange(cols, rows), cl::NullRange, cost, left_device,
          right_device, cl_ulong(rows), cl_ulong(cols), cl_ulong(d_range), cl_ulong(r));
      EXPECT_EQ(Host<uint16_t>(cost, expected.size()), expected);
    }
  }
}

}  // namespace
