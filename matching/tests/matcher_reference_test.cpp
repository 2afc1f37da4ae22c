// Holds the library's disparity images and temporal flags byte for byte against the plain reference matcher
// over many parameter combinations and three-frame sequences, on every form of the inner loops.
#include <gtest/gtest.h>

#include <iterator>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "libtessaro.h"
#include "reference_combination.h"
#include "reference_matcher.h"
#include "sgm_kernels.h"
#include "sgm_state.h"
#include "test_images.h"

namespace {

constexpr size_t kCodePaths = 4;
constexpr int kFrames = 3;
constexpr int kFrameShifts[kFrames] = {5, 9, 4};

const char* NameOf(SgmCodePath path) {
  switch (path) {
    case SgmCodePath::kPlain:
      return "plain";
    case SgmCodePath::kVector128:
      return "vector128";
    case SgmCodePath::kAvx2:
      return "avx2";
    case SgmCodePath::kAvx512:
      return "avx512";
  }
  return "?";
}

class MatcherAgainstReference : public ::testing::TestWithParam<std::tuple<Combination, SgmCodePath>> {
 protected:
  void SetUp() override {
    if (!sgm_select_code_path(std::get<1>(GetParam()))) GTEST_SKIP() << "this processor lacks the form";
  }
  void TearDown() override {
    libtessaro_close();
    sgm_select_code_path(sgm_best_code_path());
  }
};

TEST_P(MatcherAgainstReference, EveryFrameAndFlagMapMatchesByteForByte) {
  const Combination c = std::get<0>(GetParam());
  ASSERT_EQ(libtessaro_init(ParametersOf(c)), 0);
  ReferenceMatcher reference(SettingsOf(c));
  ASSERT_EQ(s_sgm_m, static_cast<unsigned long>(reference.rows()));
  ASSERT_EQ(s_sgm_n, static_cast<unsigned long>(reference.columns()));
  std::vector<uint8_t> out(s_sgm_m * s_sgm_n);
  for (int frame = 0; frame < kFrames; ++frame) {
    const TestPair pair = MakeShiftedPair(c.height, c.width, kFrameShifts[frame], kFrameShifts[frame] + 6,
                                          static_cast<unsigned>(frame + 1));
    libtessaro_process(out.data(), pair.left.data(), pair.right.data(), c.use_previous);
    const std::vector<uint8_t> expected = reference.Process(pair.left.data(), pair.right.data(), c.use_previous);
    ASSERT_EQ(out, expected) << "frame " << frame;
    const std::vector<uint8_t> flags(sgm_range_flags_previous, sgm_range_flags_previous + out.size());
    ASSERT_EQ(flags, reference.full_range_flags()) << "flags after frame " << frame;
  }
}

// Full-range frames skip the path planes; a narrowed frame after one must see the planes that frame would have
// left. Frames alternate between full range and narrowed so that each narrowed frame follows a different one.
class MixedFramesAgainstReference : public MatcherAgainstReference {};

TEST_P(MixedFramesAgainstReference, NarrowedFramesAfterFullRangeFramesMatchByteForByte) {
  constexpr bool kUsePrevious[] = {false, true, false, false, true, true};
  const Combination c = std::get<0>(GetParam());
  ASSERT_EQ(libtessaro_init(ParametersOf(c)), 0);
  ReferenceMatcher reference(SettingsOf(c));
  std::vector<uint8_t> out(s_sgm_m * s_sgm_n);
  for (size_t frame = 0; frame < std::size(kUsePrevious); ++frame) {
    const int shift = kFrameShifts[frame % kFrames] + static_cast<int>(frame);
    const TestPair pair = MakeShiftedPair(c.height, c.width, shift, shift + 6, static_cast<unsigned>(frame + 7));
    libtessaro_process(out.data(), pair.left.data(), pair.right.data(), kUsePrevious[frame]);
    ASSERT_EQ(out, reference.Process(pair.left.data(), pair.right.data(), kUsePrevious[frame])) << "frame " << frame;
    const std::vector<uint8_t> flags(sgm_range_flags_previous, sgm_range_flags_previous + out.size());
    ASSERT_EQ(flags, reference.full_range_flags()) << "flags after frame " << frame;
  }
}

// Full-range frames hand sums between passes as bytes only where each provably fits. With r = 2 (largest cost 24)
// the column family's two paths reach 2 x (24 + P2): 254 for P2 = 103, 256 for P2 = 104, which bounds the volume that
// four paths hand to the rows. Five to eight paths hand on each pass's sums as their low bytes where the pass's paths
// exceed their costs by at most 255: 4 x P2, 252 for P2 = 63, 256 for P2 = 64. Penalties near the top of 16 bits make
// the path terms wrap, where the bounds no longer hold.
class PenaltiesAgainstReference : public ::testing::TestWithParam<SgmCodePath> {
 protected:
  void SetUp() override {
    if (!sgm_select_code_path(GetParam())) GTEST_SKIP() << "this processor lacks the form";
  }
  void TearDown() override {
    libtessaro_close();
    sgm_select_code_path(sgm_best_code_path());
  }
};

// One full-range frame of c with the penalties given, against the reference.
void ExpectFullRangeFrameMatches(const Combination& c, int penalty1, int penalty2) {
  ASSERT_EQ(libtessaro_init(ParametersOf(c, penalty1, penalty2)), 0);
  ReferenceMatcher reference(SettingsOf(c, penalty1, penalty2));
  std::vector<uint8_t> out(s_sgm_m * s_sgm_n);
  const TestPair pair = MakeShiftedPair(c.height, c.width, 6, 12, 3);
  libtessaro_process(out.data(), pair.left.data(), pair.right.data(), false);
  ASSERT_EQ(out, reference.Process(pair.left.data(), pair.right.data(), false))
      << c << " P1 " << penalty1 << " P2 " << penalty2;
}

TEST_P(PenaltiesAgainstReference, SumsAtAndPastTheByteLimitAndWrappingPenaltiesMatchByteForByte) {
  constexpr int kPenalties[][2] = {{7, 63}, {7, 64}, {7, 103}, {7, 104}, {65500, 40}, {3, 65000}};
  for (const int paths : {4, 8}) {
    const Combination c = {39, 71, 2, 0, 16, paths, 6, 16, 65535, false, false};
    for (const auto& penalties : kPenalties) ExpectFullRangeFrameMatches(c, penalties[0], penalties[1]);
  }
}

// Path cells of full-range frames are bytes where the guards' fill, the census bit count plus P2, fits one (25 + 230
// for r = 2, 225 + 30 for r = 7) and 16-bit values one above; P1 past a byte saturates the byte terms. Disparity
// counts of whole vectors of bytes (32, 64) and with a tail.
TEST_P(PenaltiesAgainstReference, PathCellsAtAndPastTheByteLimitMatchByteForByte) {
  struct Case {
    int radius, disparities, penalty1, penalty2;
  };
  constexpr Case kCases[] = {{2, 64, 10, 60}, {2, 64, 7, 230}, {2, 32, 7, 231}, {2, 32, 250, 100},
                             {7, 48, 3, 30},  {7, 64, 3, 31},  {1, 40, 300, 200}};
  for (const int paths : {4, 8})
    for (const Case& k : kCases) {
      const Combination c = {40, 150, k.radius, 0, k.disparities, paths, 6, 16, 65535, false, false};
      ExpectFullRangeFrameMatches(c, k.penalty1, k.penalty2);
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, PenaltiesAgainstReference,
                         ::testing::Values(SgmCodePath::kPlain, SgmCodePath::kVector128, SgmCodePath::kAvx2,
                                           SgmCodePath::kAvx512));

// libtessaro_init may come at any time: after each of a sequence of re-inits that change the size, the disparity
// count, the radius, the paths, the threads and the penalties, every frame must be what a fresh matcher of that
// set gives. State kept across frames (thread scratch, the path planes of a swept frame) must follow the layout.
struct ReinitStep {
  int height, width, radius, disparity_max, paths, threads, penalty1, penalty2;
};

class ReinitAgainstReference : public PenaltiesAgainstReference {};

TEST_P(ReinitAgainstReference, EveryFrameAfterEachReinitMatchesAFreshMatcher) {
  constexpr bool kUsePrevious[] = {false, true, false};
  const std::vector<ReinitStep> kSequences[] = {
      // Only the disparity count changes: the cells shrink while the scratch length may stay.
      {{40, 60, 2, 14, 4, 1, 0, 0}, {40, 60, 2, 2, 4, 1, 0, 0}, {40, 60, 2, 14, 4, 1, 0, 0}},
      {{48, 131, 2, 70, 4, 1, 10, 120}, {48, 131, 2, 16, 4, 1, 10, 120}, {48, 131, 2, 70, 4, 4, 10, 120}},
      {{37, 53, 1, 16, 4, 1, 7, 40},
       {45, 69, 3, 24, 8, 4, 10, 120},
       {45, 69, 3, 22, 8, 4, 10, 120},
       {33, 61, 2, 30, 4, 1, 0, 0},
       {33, 61, 4, 14, 8, 1, 3, 30},
       {38, 57, 2, 16, 2, 3, 7, 103}},
  };
  for (const std::vector<ReinitStep>& sequence : kSequences) {
    for (size_t step = 0; step < sequence.size(); ++step) {
      const ReinitStep& s = sequence[step];
      const Combination c = {s.height, s.width, s.radius, 0, s.disparity_max, s.paths, s.threads, 16, 60, false, true};
      ASSERT_EQ(libtessaro_init(ParametersOf(c, s.penalty1, s.penalty2)), 0);
      ReferenceMatcher reference(SettingsOf(c, s.penalty1, s.penalty2));
      std::vector<uint8_t> out(s_sgm_m * s_sgm_n);
      for (size_t frame = 0; frame < std::size(kUsePrevious); ++frame) {
        const bool narrowed = kUsePrevious[frame];
        TestPair pair = MakeShiftedPair(c.height, c.width, 3 + static_cast<int>(frame), 8,
                                        static_cast<unsigned>(11 * step + frame));
        // Unrelated images give flat costs, where the guard cells decide the path values at the range's ends.
        if (!narrowed)
          pair.left = MakeShiftedPair(c.height, c.width, 0, 0, static_cast<unsigned>(97 + 3 * step + frame)).left;
        libtessaro_process(out.data(), pair.left.data(), pair.right.data(), narrowed);
        const std::vector<uint8_t> expected = reference.Process(pair.left.data(), pair.right.data(), narrowed);
        long differing = 0;
        for (size_t i = 0; i < out.size(); ++i) differing += out[i] != expected[i];
        EXPECT_EQ(differing, 0) << "bytes differ after step " << step << " (" << c << " P1 " << s.penalty1 << " P2 "
                                << s.penalty2 << "), frame " << frame;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, ReinitAgainstReference,
                         ::testing::Values(SgmCodePath::kPlain, SgmCodePath::kVector128, SgmCodePath::kAvx2,
                                           SgmCodePath::kAvx512));

// Sizes are odd or small on purpose; thresholds range from "flag almost everything" to "flag nothing".
const Combination kCombinations[] = {
    // height width r dmin dmax paths threads W threshold interval use_previous
    {37, 53, 1, 0, 16, 4, 1, 16, 30, false, true},
    {37, 53, 1, 0, 16, 4, 6, 15, 30, false, true},
    {37, 53, 2, 0, 16, 8, 1, 15, 60, false, true},
    {37, 53, 2, 0, 16, 8, 6, 16, 0, false, true},
    {37, 53, 3, 0, 24, 4, 6, 16, 80, false, true},
    {37, 53, 3, 0, 24, 8, 1, 15, 80, false, true},
    {41, 61, 4, 0, 24, 4, 1, 15, 100, false, true},
    {41, 61, 4, 0, 24, 8, 6, 16, 100, false, true},
    {45, 69, 2, 0, 32, 4, 6, 16, 50, false, true},
    {45, 69, 2, 0, 32, 8, 1, 15, 50, false, true},
    {45, 69, 1, 0, 32, 1, 1, 16, 20, false, true},
    {45, 69, 1, 0, 32, 2, 6, 15, 20, false, true},
    {45, 69, 3, 0, 32, 5, 1, 16, 90, false, true},
    {45, 69, 3, 0, 32, 5, 6, 15, 90, false, true},
    {47, 101, 2, 0, 64, 4, 6, 16, 60, false, true},
    {47, 101, 2, 0, 64, 8, 1, 15, 60, false, true},
    {47, 101, 1, 0, 64, 4, 1, 15, 65535, false, true},
    {33, 109, 9, 0, 64, 4, 6, 16, 400, false, true},
    {33, 109, 9, 0, 64, 8, 1, 15, 400, false, true},
    {33, 61, 9, 0, 16, 4, 1, 15, 300, false, true},
    {33, 61, 9, 0, 24, 8, 6, 16, 300, false, true},
    {38, 57, 4, 0, 16, 2, 1, 16, 90, false, true},
    {38, 57, 4, 0, 16, 3, 6, 15, 90, false, true},
    {38, 57, 2, 0, 24, 5, 6, 16, 40, false, true},
    {38, 57, 2, 0, 24, 7, 6, 15, 40, false, true},
    {38, 57, 1, 0, 16, 4, 6, 16, 25, false, false},
    {38, 57, 3, 0, 24, 8, 1, 15, 70, false, false},
    // A threshold that accepts every cost with W at or above D makes narrowed frames full-range ones.
    {37, 53, 2, 0, 16, 4, 6, 16, 65535, false, true},
    {37, 53, 1, 0, 16, 8, 6, 24, 65535, false, true},
    // W at or above D (odd D included) searches the whole range.
    {37, 53, 1, 0, 15, 4, 6, 15, 10, false, true},
    {37, 53, 2, 0, 17, 4, 1, 24, 10, false, true},
    // Minimum disparities other than 0 index the path cells relative to the minimum.
    {37, 61, 2, 3, 19, 4, 6, 15, 40, false, true},
    {37, 61, 2, 5, 29, 8, 1, 16, 40, false, true},
    {37, 61, 2, -4, 12, 4, 6, 16, 40, false, true},
    // Interval sampling halves odd sizes and matches every second row and column.
    {75, 107, 1, 0, 16, 4, 6, 16, 20, true, true},
    {74, 106, 2, 0, 24, 8, 1, 15, 30, true, true},
    // Wide enough for the census of 64 pixels at a time in the left image too.
    {23, 163, 2, 0, 32, 8, 6, 16, 60, false, true},
    {21, 150, 3, 0, 24, 4, 1, 15, 90, false, true},
    // thread_number 0 works as 1; path counts above 8 keep their extra planes at the initial fill.
    {37, 53, 2, 0, 16, 4, 0, 16, 60, false, true},
    {37, 53, 2, 0, 16, 10, 1, 16, 60, false, true},
};

// Four and eight paths, bytes and 16-bit values handed between passes, several threads and one.
const Combination kMixedCombinations[] = {
    // height width r dmin dmax paths threads W threshold interval use_previous
    {37, 53, 2, 0, 16, 4, 6, 16, 60, false, true},
    {45, 69, 1, 0, 32, 8, 1, 15, 20, false, true},
    {75, 107, 1, 0, 16, 4, 6, 16, 20, true, true},
    {41, 61, 4, 0, 24, 8, 6, 16, 100, false, true},
};

INSTANTIATE_TEST_SUITE_P(Combinations, MixedFramesAgainstReference,
                         ::testing::Combine(::testing::ValuesIn(kMixedCombinations),
                                            ::testing::Values(SgmCodePath::kPlain, SgmCodePath::kVector128,
                                                              SgmCodePath::kAvx2, SgmCodePath::kAvx512)),
                         [](const ::testing::TestParamInfo<std::tuple<Combination, SgmCodePath>>& info) {
                           return std::to_string(info.index / kCodePaths) + "_" + NameOf(std::get<1>(info.param));
                         });

INSTANTIATE_TEST_SUITE_P(Combinations, MatcherAgainstReference,
                         ::testing::Combine(::testing::ValuesIn(kCombinations),
                                            ::testing::Values(SgmCodePath::kPlain, SgmCodePath::kVector128,
                                                              SgmCodePath::kAvx2, SgmCodePath::kAvx512)),
                         [](const ::testing::TestParamInfo<std::tuple<Combination, SgmCodePath>>& info) {
                           return std::to_string(info.index / kCodePaths) + "_" + NameOf(std::get<1>(info.param));
                         });

}  // namespace
