// Holds each fast inner loop against its plain twin (and a loop written here) for every length and offset up
// to a few vector blocks, with guard cells around every buffer left untouched.
#include "sgm_neon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "matcher_test_support.h"

namespace {

constexpr int kGuard = 40;  // cells before and after each range that no routine may touch
constexpr uint16_t kGuard16 = 0xBEEF;
constexpr uint8_t kGuard8 = 0xA5;
constexpr int kMaxLength = 3 * 64 + 7;

// Sets the module's penalties, D and path count, which the plain twins read.
void InitModule(int disparities, int paths, uint16_t p1, uint16_t p2) {
  tagSGMParameterSet set = MatcherParameters(8, 8, 0, disparities, 1);
  set.path_number = static_cast<uint64_t>(paths);
  set.sgm_penalty1 = p1;
  set.sgm_penalty2 = p2;
  ASSERT_EQ(libtessaro_init(set), 0);
}

class FastRoutines : public ::testing::Test {
 protected:
  void TearDown() override { libtessaro_close(); }
  std::mt19937 random_{12345};
  // Values near the top of the range as well, so that wrapping additions take part.
  uint16_t AnyValue() {
    std::uniform_int_distribution<int> pick(0, 3);
    std::uniform_int_distribution<int> small(0, 200);
    std::uniform_int_distribution<int> any(0, 65535);
    return static_cast<uint16_t>(pick(random_) == 0   ? 65535 - small(random_)
                                 : pick(random_) == 1 ? any(random_)
                                                      : small(random_));
  }
};

TEST_F(FastRoutines, RecurrenceEqualsPlainTwinForEveryRangeInsideTheCell) {
  const uint16_t p1 = 9, p2 = 70;
  for (int disparities : {1, 7, 8, 15, 16, 17, 31, 32, 33, 47, 64}) {
    InitModule(disparities, 4, p1, p2);
    std::vector<uint16_t> previous(disparities + 2), cost(disparities);
    for (uint16_t& v : previous) v = AnyValue();
    for (uint16_t& v : cost) v = static_cast<uint16_t>(AnyValue() % 100);
    for (int start = 0; start <= disparities; ++start)
      for (int end = start; end <= disparities; ++end) {
        const uint16_t min_previous = *std::min_element(previous.begin() + 1, previous.end() - 1);
        std::vector<uint16_t> fast(disparities + 2 + 2 * kGuard, kGuard16), plain = fast;
        asm_cost_accumulation(start, end, &min_previous, previous.data(), cost.data(), fast.data() + kGuard, &p1, &p2);
        cost_accumulation(start, end, min_previous, previous.data(), cost.data(), plain.data() + kGuard);
        ASSERT_EQ(fast, plain) << "D=" << disparities << " [" << start << "," << end << ")";
        ASSERT_TRUE(
            std::all_of(fast.begin(), fast.begin() + kGuard + start + 1, [](uint16_t v) { return v == kGuard16; }));
        ASSERT_TRUE(std::all_of(fast.begin() + kGuard + end + 1, fast.end(), [](uint16_t v) { return v == kGuard16; }));
      }
  }
}

TEST_F(FastRoutines, SumEqualsLoopForEveryCountAndPlaneCount) {
  const unsigned long stride = 211;  // odd plane stride
  std::vector<uint16_t> base(10 * stride + 64);
  for (uint16_t& v : base) v = AnyValue();
  for (unsigned long planes = 0; planes <= 9; ++planes)
    for (unsigned long count = 0; count <= 3 * 8 + 5; ++count)
      for (unsigned long index : {0ul, 1ul, 13ul}) {
        std::vector<uint16_t> sums(count + 2 * kGuard, kGuard16);
        for (unsigned long k = 0; k < count; ++k) sums[kGuard + k] = static_cast<uint16_t>(k * 1000);
        std::vector<uint16_t> expected = sums;
        for (unsigned long k = 0; k < count; ++k)
          for (unsigned long p = 0; p < planes; ++p)
            expected[kGuard + k] = static_cast<uint16_t>(expected[kGuard + k] + base[index + p * stride + k]);
        asm_sgm_sum(base.data(), stride, index, sums.data() + kGuard, count, planes);
        ASSERT_EQ(sums, expected) << "planes " << planes << " count " << count;
      }
}

TEST_F(FastRoutines, SumEqualsPlainTwinForTheModulesPathsAndDisparities) {
  for (int disparities : {5, 16, 33})
    for (int paths : {1, 3, 4, 5, 8}) {
      InitModule(disparities, paths, 1, 2);
      const unsigned long stride = static_cast<unsigned long>(disparities) * 3 + 1;
      std::vector<uint16_t> base(paths * stride + disparities);
      for (uint16_t& v : base) v = AnyValue();
      std::vector<uint16_t> fast(disparities + 2 * kGuard, kGuard16), plain = fast;
      std::fill(fast.begin() + kGuard, fast.end() - kGuard, 0);
      std::fill(plain.begin() + kGuard, plain.end() - kGuard, 0);
      asm_sgm_sum(base.data(), stride, 1, fast.data() + kGuard, disparities, paths);
      sgm_sum(base.data(), stride, 1, plain.data() + kGuard);
      ASSERT_EQ(fast, plain) << "D=" << disparities << " paths=" << paths;
    }
}

TEST_F(FastRoutines, ClearTouchesExactlyTheGivenBytesAtEveryOffset) {
  for (int offset = 0; offset < 33; ++offset)
    for (int length = 0; length <= kMaxLength; ++length) {
      std::vector<uint8_t> buffer(kGuard + offset + length + kGuard, kGuard8);
      asm_sgm_zero(buffer.data() + kGuard + offset, length);
      for (int i = 0; i < static_cast<int>(buffer.size()); ++i) {
        const bool inside = i >= kGuard + offset && i < kGuard + offset + length;
        ASSERT_EQ(buffer[i], inside ? 0 : kGuard8) << "offset " << offset << " length " << length << " at " << i;
      }
    }
}

TEST_F(FastRoutines, CopyEqualsPlainTwinAtEveryOffsetAndLength) {
  std::vector<uint8_t> source(kMaxLength + 64);
  for (uint8_t& v : source) v = static_cast<uint8_t>(AnyValue());
  for (int offset = 0; offset < 65; ++offset)
    for (int length = 0; length <= kMaxLength; ++length) {
      std::vector<uint8_t> fast(kGuard + offset + length + kGuard, kGuard8), plain = fast;
      asm_sgm_setpixelResult(source.data() + offset, length, fast.data() + kGuard + offset);
      sgm_setpixelResult(source.data() + offset, length, plain.data() + kGuard + offset);
      ASSERT_EQ(fast, plain) << "offset " << offset << " length " << length;
      ASSERT_TRUE(
          std::equal(source.begin() + offset, source.begin() + offset + length, fast.begin() + kGuard + offset));
      ASSERT_TRUE(std::all_of(fast.begin(), fast.begin() + kGuard + offset, [](uint8_t v) { return v == kGuard8; }));
      ASSERT_TRUE(std::all_of(fast.end() - kGuard, fast.end(), [](uint8_t v) { return v == kGuard8; }));
    }
}

TEST_F(FastRoutines, MinimumAndFirstIndexOfMinimumMatchTheStandardLibrary) {
  for (int count = 1; count <= 3 * 8 + 3; ++count)
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<uint16_t> values(count);
      for (uint16_t& v : values) v = static_cast<uint16_t>(AnyValue() % (trial % 2 ? 4 : 65535));  // ties
      const auto smallest = std::min_element(values.begin(), values.end());
      ASSERT_EQ(sgm_min_value(values.data(), count), *smallest);
      ASSERT_EQ(sgm_min_index(values.data(), count), static_cast<unsigned long>(smallest - values.begin()));
    }
  EXPECT_EQ(sgm_min_value(nullptr, 0), 65535);
}

}  // namespace
