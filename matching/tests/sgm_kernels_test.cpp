// Holds every vector form of the inner loops against the plain form for every range up to a few vector
// blocks, with guard cells that no form may touch, values near the wrap included.
#include "sgm_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr int kGuard = 40;
constexpr uint16_t kGuard16 = 0xBEEF;

class KernelForms : public ::testing::TestWithParam<SgmCodePath> {
 protected:
  void SetUp() override {
    if (!sgm_code_path_available(GetParam())) GTEST_SKIP() << "this processor lacks the form";
    select_and_fetch();
  }
  void TearDown() override { sgm_select_code_path(sgm_best_code_path()); }
  void select_and_fetch() {
    ASSERT_TRUE(sgm_select_code_path(GetParam()));
    fast_ = &sgm_kernels();
  }
  uint16_t AnyValue() {
    std::uniform_int_distribution<int> pick(0, 2);
    std::uniform_int_distribution<int> small(0, 200);
    std::uniform_int_distribution<int> any(0, 65535);
    const int kind = pick(random_);
    return static_cast<uint16_t>(kind == 0 ? 65535 - small(random_) : kind == 1 ? any(random_) : small(random_));
  }
  std::mt19937 random_{2024};
  const SgmKernels* fast_ = nullptr;
  const SgmKernels& plain_ = kSgmPlainKernels;
};

TEST_P(KernelForms, RecurrenceWritesTheSameCellsAndReturnsTheirMinimum) {
  for (int disparities : {1, 7, 8, 15, 16, 17, 31, 33, 64, 65}) {
    std::vector<uint16_t> previous(disparities + 2), cost(disparities);
    for (uint16_t& v : previous) v = AnyValue();
    for (uint16_t& v : cost) v = static_cast<uint16_t>(AnyValue() % 100);
    const uint16_t min_previous = *std::min_element(previous.begin() + 1, previous.end() - 1);
    for (int start = 0; start <= disparities; ++start)
      for (int end = start; end <= disparities; ++end) {
        std::vector<uint16_t> fast(disparities + 2 + 2 * kGuard, kGuard16), plain = fast;
        const uint16_t fast_min =
            fast_->recurrence(start, end, min_previous, previous.data(), cost.data(), fast.data() + kGuard, 9, 70);
        const uint16_t plain_min =
            plain_.recurrence(start, end, min_previous, previous.data(), cost.data(), plain.data() + kGuard, 9, 70);
        ASSERT_EQ(fast, plain) << "D=" << disparities << " [" << start << "," << end << ")";
        ASSERT_EQ(fast_min, plain_min);
        const auto written = fast.begin() + kGuard + 1;
        ASSERT_EQ(plain_min, start == end ? 65535 : *std::min_element(written + start, written + end));
        ASSERT_TRUE(std::all_of(fast.begin(), written + start, [](uint16_t v) { return v == kGuard16; }));
        ASSERT_TRUE(std::all_of(written + end, fast.end(), [](uint16_t v) { return v == kGuard16; }));
      }
  }
}

TEST_P(KernelForms, MinimumOfEveryLength) {
  for (int count = 0; count <= 70; ++count) {
    std::vector<uint16_t> values(count);
    for (uint16_t& v : values) v = AnyValue();
    ASSERT_EQ(fast_->minimum(values.data(), count), plain_.minimum(values.data(), count)) << count;
    ASSERT_EQ(plain_.minimum(values.data(), count),
              count == 0 ? 65535 : *std::min_element(values.begin(), values.end()));
  }
}

TEST_P(KernelForms, WinnerSumsWrappingAndTakesTheLowestTiedIndex) {
  for (int planes : {0, 1, 4, 8, 10})
    for (int count = 0; count <= 70; ++count) {
      const int stride = count + 5;
      std::vector<uint16_t> base(static_cast<size_t>(std::max(planes, 1)) * stride);
      for (uint16_t& v : base) v = AnyValue();
      // A tie at two indices: copy one column of every plane onto a later one.
      if (count > 20)
        for (int p = 0; p < planes; ++p) base[p * stride + count - 1] = base[p * stride + 3];
      std::vector<uint16_t> fast_sums(count + 1, kGuard16), plain_sums = fast_sums;
      const unsigned long fast = fast_->winner(base.data(), stride, planes, count, fast_sums.data());
      const unsigned long plain = plain_.winner(base.data(), stride, planes, count, plain_sums.data());
      ASSERT_EQ(fast, plain) << planes << " planes, " << count << " values";
      ASSERT_EQ(fast_sums, plain_sums);
      if (count > 0) {
        ASSERT_EQ(plain, static_cast<unsigned long>(std::min_element(plain_sums.begin(), plain_sums.end() - 1) -
                                                    plain_sums.begin()));
      } else {
        ASSERT_EQ(plain, 0u);
      }
    }
}

// Signatures of 64 pixels at once, for the forms that have them, against the definition: bit p set where window
// position p (rows, then columns) is strictly brighter than the centre. Few grey levels make many ties.
TEST_P(KernelForms, CensusOf64PixelsMatchesTheDefinitionWithTies) {
  if (fast_->census_64 == nullptr) GTEST_SKIP() << "this form has no census of its own";
  constexpr long kWidth = 150, kHeight = 9;
  std::uniform_int_distribution<int> grey(0, 3);
  std::vector<unsigned char> image(kWidth * kHeight);
  for (unsigned char& v : image) v = static_cast<unsigned char>(grey(random_) * 60);
  for (long r = 1; r <= 3; ++r)
    for (long x : {r, 40L, kWidth - 64 - r}) {
      const long y = 4;
      std::vector<uint64_t> words(64 + 2, 0xFEEDu);
      fast_->census_64(image.data(), kWidth, y, x, static_cast<unsigned long>(r), words.data() + 1);
      ASSERT_EQ(words.front(), 0xFEEDu);
      ASSERT_EQ(words.back(), 0xFEEDu);
      for (long j = 0; j < 64; ++j) {
        uint64_t expected = 0;
        unsigned p = 0;
        for (long dy = -r; dy <= r; ++dy)
          for (long dx = -r; dx <= r; ++dx, ++p)
            if (image[(y + dy) * kWidth + x + j + dx] > image[y * kWidth + x + j]) expected |= uint64_t{1} << p;
        ASSERT_EQ(words[j + 1], expected) << "r " << r << " x " << x << " pixel " << j;
      }
    }
}

// Plane sums added onto what the sums hold, and the first index of the smallest value (ties to the lowest
// index), for every count around the forms' blocks.
TEST_P(KernelForms, PlaneSumsAndFirstMinimumAgreeWithThePlainForm) {
  constexpr unsigned long kPlanes = 8, kStride = 80;
  std::vector<uint16_t> planes(kPlanes * kStride);
  for (uint16_t& v : planes) v = AnyValue();
  for (unsigned long count = 0; count <= 70; ++count) {
    for (unsigned long used : {0ul, 1ul, 4ul, kPlanes}) {
      std::vector<uint16_t> fast(count + kGuard, kGuard16);
      for (unsigned long k = 0; k < count; ++k) fast[k] = AnyValue();
      std::vector<uint16_t> plain = fast;
      fast_->add_planes(planes.data(), kStride, used, count, fast.data());
      plain_.add_planes(planes.data(), kStride, used, count, plain.data());
      ASSERT_EQ(fast, plain) << count << " values, " << used << " planes";
    }
    std::vector<uint16_t> values(planes.begin(), planes.begin() + static_cast<long>(count));
    if (count > 2) values[count - 1] = values[count / 2] = 0;  // a tie: the lower index wins
    ASSERT_EQ(fast_->first_minimum(values.data(), count), plain_.first_minimum(values.data(), count)) << count;
  }
}

// Byte costs for every count of disparities around the forms' blocks (8 and 64), against the plain form.
TEST_P(KernelForms, ByteCostsOfEveryDisparityCount) {
  constexpr unsigned long kPixels = 9, kMostDisparities = 140;
  std::vector<uint64_t> left(kPixels), right(kMostDisparities + kPixels);
  std::uniform_int_distribution<uint64_t> any;
  for (uint64_t& w : left) w = any(random_);
  for (uint64_t& w : right) w = any(random_);
  const uint64_t* matched = right.data() + kMostDisparities;  // right[i - d] stays inside for every d
  for (unsigned long disparities = 1; disparities <= kMostDisparities; ++disparities) {
    std::vector<uint8_t> fast(kPixels * disparities + kGuard, 0xA5), plain = fast;
    fast_->byte_costs(left.data(), matched, kPixels, disparities, fast.data());
    plain_.byte_costs(left.data(), matched, kPixels, disparities, plain.data());
    ASSERT_EQ(fast, plain) << disparities << " disparities";
    const long last = static_cast<long>(disparities) - 1;
    ASSERT_EQ(plain[3 * disparities + last], __builtin_popcountll(left[3] ^ matched[3 - last]));
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, KernelForms,
                         ::testing::Values(SgmCodePath::kPlain, SgmCodePath::kVector128, SgmCodePath::kAvx2,
                                           SgmCodePath::kAvx512));

TEST(KernelSelection, TheBestFormIsAvailableAndAnUnavailableOneIsRefused) {
  EXPECT_TRUE(sgm_code_path_available(sgm_best_code_path()));
  EXPECT_TRUE(sgm_code_path_available(SgmCodePath::kPlain));
  EXPECT_EQ(sgm_current_code_path(), sgm_best_code_path());
  if (!sgm_code_path_available(SgmCodePath::kAvx2)) {
    EXPECT_FALSE(sgm_select_code_path(SgmCodePath::kAvx2));
    EXPECT_EQ(sgm_current_code_path(), sgm_best_code_path());
  }
}

// On the board's aarch64 processors the 128-bit form is NEON itself, and no x86 form may be built at all.
TEST(KernelSelection, TheWidestFormThisProcessorRunsIsInUse) {
#if defined(__aarch64__)
  const char* const kNames[] = {"plain", "128-bit NEON", "AVX2", "AVX-512"};
#else
  const char* const kNames[] = {"plain", "128-bit (SSE through SIMDe)", "AVX2", "AVX-512"};
#endif
  std::printf("inner loops in use: %s\n", kNames[static_cast<int>(sgm_current_code_path())]);
#if defined(__aarch64__)
  EXPECT_EQ(sgm_best_code_path(), SgmCodePath::kVector128);
  EXPECT_EQ(kSgmAvx2Kernels, nullptr);
  EXPECT_EQ(kSgmAvx512Kernels, nullptr);
#else
  const SgmCodePath wider = sgm_code_path_available(SgmCodePath::kAvx512) ? SgmCodePath::kAvx512
                            : sgm_code_path_available(SgmCodePath::kAvx2) ? SgmCodePath::kAvx2
                                                                           : SgmCodePath::kVector128;
  EXPECT_EQ(sgm_best_code_path(), wider);
#endif
  EXPECT_EQ(sgm_current_code_path(), sgm_best_code_path());
}

}  // namespace
