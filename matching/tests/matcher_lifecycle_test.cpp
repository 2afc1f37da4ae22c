// The matcher's life cycle and frame bookkeeping: refused parameters, calls outside init and close, the
// buffers, the initial state, full-range frames, the border clear, interval sampling sizes, and recovery of a known shift.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "matcher_test_support.h"
#include "sgm_buffer.h"
#include "sgm_state.h"
#include "sgm_sweep.h"
#include "test_images.h"

namespace {

constexpr uint8_t kSentinel = 0xCC;

class MatcherLifecycle : public ::testing::Test {
 protected:
  void TearDown() override { libtessaro_close(); }
};

TEST_F(MatcherLifecycle, RefusesAnEmptyDisparityRangeOrAnUnknownRadius) {
  EXPECT_NE(libtessaro_init(MatcherParameters(20, 40, 0, 0)), 0);
  EXPECT_NE(libtessaro_init(MatcherParameters(20, 40, 16, 8)), 0);
  EXPECT_NE(libtessaro_init(MatcherParameters(20, 40, 0, 16, 0)), 0);
  EXPECT_NE(libtessaro_init(MatcherParameters(20, 40, 0, 16, 10)), 0);
  EXPECT_EQ(sgm_cost_volume, nullptr);
  EXPECT_EQ(libtessaro_init(MatcherParameters(20, 40, 0, 16, 9)), 0);
}

TEST_F(MatcherLifecycle, ProcessingOutsideInitAndCloseLeavesTheOutputAlone) {
  std::vector<uint8_t> out(20 * 40, kSentinel);
  const std::vector<uint8_t> image(20 * 40, 9);
  libtessaro_process(out.data(), image.data(), image.data(), false);
  ASSERT_EQ(libtessaro_init(MatcherParameters(20, 40, 0, 16)), 0);
  libtessaro_close();
  libtessaro_close();  // twice is harmless
  libtessaro_process(out.data(), image.data(), image.data(), true);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == kSentinel; }));
  EXPECT_EQ(s_sgm_uniqueness_err, nullptr);
}

TEST_F(MatcherLifecycle, InitSetsTheStartingStateAndClearsTheErrorMap) {
  tagSGMParameterSet set = MatcherParameters(12, 30, 0, 24, 3);
  set.path_number = 5;
  ASSERT_EQ(libtessaro_init(set), 0);
  const unsigned long pixels = 12 * 30;
  EXPECT_EQ(sgm_frame_count, 0u);
  EXPECT_TRUE(std::all_of(sgm_prev_disparity, sgm_prev_disparity + pixels, [](uint8_t v) { return v == 12; }));
  EXPECT_TRUE(
      std::all_of(sgm_range_flags_previous, sgm_range_flags_previous + pixels, [](uint8_t v) { return v == 0; }));
  EXPECT_TRUE(std::all_of(s_sgm_uniqueness_err, s_sgm_uniqueness_err + pixels, [](uint8_t v) { return v == 0; }));
  const uint16_t fill = 49 + 50;  // (2r+1)^2 + P2
  EXPECT_TRUE(std::all_of(sgm_path_costs, sgm_path_costs + 5 * sgm_plane_size(), [](uint16_t v) { return v == fill; }));
}

TEST(MatcherBuffers, ComeZeroedOnACacheLineAndRefuseACountWhoseBytesOverflow) {
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{100003}}) {
    uint64_t* buffer = sgm_map_array<uint64_t>(count);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 64, 0u);
    EXPECT_TRUE(std::all_of(buffer, buffer + count, [](uint64_t v) { return v == 0; }));
    sgm_unmap_array(buffer);
    EXPECT_EQ(buffer, nullptr);
  }
  EXPECT_THROW(sgm_map_array<uint64_t>(std::numeric_limits<std::size_t>::max() / 4), std::bad_alloc);
}

// Whether the page that holds `address` is mapped in this process.
bool PageMapped(const void* address) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return msync(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) / page * page), page, MS_ASYNC) == 0;
}

TEST_F(MatcherLifecycle, CloseHandsTheLargeBuffersBackToTheSystem) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer keeps freed memory in quarantine";
#endif
  // Left in the C library's heap, buffers of alternating sizes would stay resident as holes over re-inits. A
  // larger set-up first: the heap then takes the smaller buffers of the next one.
  ASSERT_EQ(libtessaro_init(MatcherParameters(240, 320, 0, 96)), 0);
  ASSERT_EQ(libtessaro_init(MatcherParameters(240, 320, 0, 64)), 0);
  const void* buffers[] = {sgm_cost_volume, sgm_path_costs};
  for (const void* buffer : buffers) EXPECT_TRUE(PageMapped(buffer));
  libtessaro_close();
  for (const void* buffer : buffers) EXPECT_FALSE(PageMapped(buffer));
}

TEST_F(MatcherLifecycle, IntervalSamplingHalvesTheSizeAndCountsFourRowsOfCensusBits) {
  tagSGMParameterSet set = MatcherParameters(480, 640, 0, 32, 2);
  set.image_interval_sampling = 1;
  ASSERT_EQ(libtessaro_init(set), 0);
  EXPECT_EQ(s_sgm_m, 240u);
  EXPECT_EQ(s_sgm_n, 320u);
  EXPECT_EQ(sgm_params.census_bits, 4u * 5u);
  EXPECT_EQ(sgm_path_costs[0], 4 * 5 + 50);
}

TEST_F(MatcherLifecycle, BorderClearZeroesTheLastDColumnsAfterTheResultIsKept) {
  const int height = 20, width = 50;
  ASSERT_EQ(libtessaro_init(MatcherParameters(height, width, 3, 19)), 0);  // D = 16, reported from 3
  const TestPair pair = MakeShiftedPair(height, width, 4, 4, 5);
  std::vector<uint8_t> out(height * width, kSentinel);
  libtessaro_process(out.data(), pair.left.data(), pair.right.data(), false);
  for (int y = 0; y < height; ++y) {
    EXPECT_EQ(out[y * width], 3);  // column 0 has no disparity: the minimum
    for (int x = width - 16; x < width; ++x) ASSERT_EQ(out[y * width + x], 0) << y << "," << x;
    EXPECT_EQ(sgm_prev_disparity[y * width + width - 1], 3);  // kept from before the clear
  }
}

TEST_F(MatcherLifecycle, BorderClearOfARangeWiderThanTheImageStaysInsideEachRow) {
  const int height = 6, width = 20;
  ASSERT_EQ(libtessaro_init(MatcherParameters(height, width, 0, 32, 1)), 0);
  std::vector<uint8_t> out(height * width + 8, kSentinel);
  const std::vector<uint8_t> image(height * width, 50);
  libtessaro_process(out.data(), image.data(), image.data(), false);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + height * width, [](uint8_t v) { return v == 0; }));
  EXPECT_TRUE(std::all_of(out.begin() + height * width, out.end(), [](uint8_t v) { return v == kSentinel; }));
}

TEST_F(MatcherLifecycle, FullRangeFramesFlagNothingAndNarrowedFramesFlagFailures) {
  tagSGMParameterSet set = MatcherParameters(30, 60, 0, 16);
  set.ddr_threshold = 0;  // every windowed search fails
  set.ddr_disparity_range = 8;
  ASSERT_EQ(libtessaro_init(set), 0);
  const TestPair pair = MakeShiftedPair(30, 60, 5, 5, 9);
  std::vector<uint8_t> out(30 * 60);
  const unsigned long pixels = out.size();
  auto flagged = [pixels] { return std::count(sgm_range_flags_previous, sgm_range_flags_previous + pixels, 1); };
  libtessaro_process(out.data(), pair.left.data(), pair.right.data(), true);  // the first frame is full range
  EXPECT_EQ(flagged(), 0);
  libtessaro_process(out.data(), pair.left.data(), pair.right.data(), false);
  EXPECT_EQ(flagged(), 0);
  // The scene moves out of the windows around the previous result: those searches fail.
  const TestPair moved = MakeShiftedPair(30, 60, 13, 13, 9);
  libtessaro_process(out.data(), moved.left.data(), moved.right.data(), true);
  EXPECT_GT(flagged(), 0);
  EXPECT_EQ(sgm_frame_count, 3u);
  libtessaro_process(out.data(), pair.left.data(), pair.right.data(), false);
  EXPECT_EQ(flagged(), 0);
}

TEST_F(MatcherLifecycle, ImagesTooSmallForTheWindowOrWithoutPathsGiveTheMinimumEverywhere) {
  struct Case {
    int height, width, radius, paths;
  };
  for (const Case c : {Case{1, 1, 1, 4}, Case{4, 70, 2, 4}, Case{30, 12, 1, 8}, Case{9, 40, 1, 0}, Case{0, 0, 1, 4}}) {
    tagSGMParameterSet set = MatcherParameters(c.height, c.width, 2, 10, c.radius);
    set.path_number = static_cast<uint64_t>(c.paths);
    ASSERT_EQ(libtessaro_init(set), 0);
    const size_t pixels = static_cast<size_t>(c.height) * c.width;
    std::vector<uint8_t> image(pixels + 1, 40), out(pixels + 1, kSentinel);
    image[pixels / 2] = 200;
    libtessaro_process(out.data(), image.data(), image.data(), false);
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) ASSERT_EQ(out[y * c.width + x], x >= c.width - 8 ? 0 : 2) << y << "," << x;
    EXPECT_EQ(out[pixels], kSentinel);
  }
}

// Full-range frames hand sums on: up to four paths in room for 16-bit values (two bytes a cell); five to eight paths
// in bytes where the cells are bytes, each pass's paths times P2 fit a byte and so do the sums that the families
// before the rows' hand on (the schedule under contention); in a byte volume per family where only each family's own
// sums fit (three bytes a cell); else in 16 bits.
TEST_F(MatcherLifecycle, TheHandedOnSumsTakeTheRoomOfTheWidestScheduleOfTheirPaths) {
  struct Case {
    int radius, paths, penalty2;
    unsigned long bytes_per_cell;
  };
  // r = 2 (largest cost 24): byte cells up to P2 = 230; the four forward paths fit a byte up to P2 = 63; the six
  // paths of three families up to P2 = 18, the three forward ones of five paths up to P2 = 61, one family's two paths
  // up to P2 = 103. r = 9: 16-bit cells.
  for (const Case c : {Case{2, 4, 60, 2}, Case{2, 8, 18, 1}, Case{2, 8, 19, 3}, Case{2, 8, 64, 3}, Case{2, 8, 104, 2},
                       Case{2, 5, 61, 1}, Case{2, 5, 62, 3}, Case{9, 8, 10, 2}}) {
    tagSGMParameterSet set = MatcherParameters(20, 40, 0, 16, c.radius);
    set.path_number = static_cast<uint64_t>(c.paths);
    set.sgm_penalty2 = static_cast<uint16_t>(c.penalty2);
    ASSERT_EQ(libtessaro_init(set), 0);
    EXPECT_EQ(sgm_sweep_bytes_per_cell(), c.bytes_per_cell)
        << "r " << c.radius << ", " << c.paths << " paths, P2 " << c.penalty2;
  }
}

class ShiftRecovery : public ::testing::TestWithParam<int> {
 protected:
  void TearDown() override { libtessaro_close(); }
};

TEST_P(ShiftRecovery, ATextureShiftedBySevenPixelsGivesSevenInTheInterior) {
  const int height = 96, width = 160, disparities = 32, radius = 2, shift = 7;
  tagSGMParameterSet set = MatcherParameters(height, width, 0, disparities, radius);
  set.path_number = static_cast<uint64_t>(GetParam());
  set.thread_number = 6;
  ASSERT_EQ(libtessaro_init(set), 0);
  const TestPair pair = MakeShiftedPair(height, width, shift, shift, 11);
  std::vector<uint8_t> out(height * width);
  for (bool use_previous : {false, true}) {
    libtessaro_process(out.data(), pair.left.data(), pair.right.data(), use_previous);
    long interior = 0, correct = 0;
    for (int y = radius; y < height - radius; ++y)
      for (int x = disparities + radius - 1; x < width - disparities; ++x) {
        ++interior;
        correct += out[y * width + x] == shift;
      }
    EXPECT_GE(correct, interior * 98 / 100) << correct << " of " << interior;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ShiftRecovery, ::testing::Values(4, 8));

}  // namespace
