// Full-range frames of five to eight paths run in two passes of sheared strips: the strips a schedule hands out, and
// the frames they give, cut into strips of every width the schedule may choose, against the plain reference matcher;
// and the same frames as independent families of lines, as they run while other work takes the processors.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "libtessaro.h"
#include "reference_combination.h"
#include "reference_matcher.h"
#include "sgm_kernels.h"
#include "sgm_processor_loss.h"
#include "sgm_state.h"
#include "sgm_strip_progress.h"
#include "sgm_strip_schedule.h"
#include "sgm_sweep.h"
#include "test_images.h"

namespace {

TEST(StripSchedule, HandsOutEveryDiagonalOnceAndInOrderWhicheverThreadsClaim) {
  SgmStripSchedule::Forget();
  constexpr long kDiagonals = 1001;
  SgmStripSchedule schedule(kDiagonals, 16, 2, 0);
  std::mutex mutex;
  std::vector<SgmStripClaim> claims;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      SgmStripClaim claim{};
      while (schedule.Claim(claim)) {
        const std::lock_guard<std::mutex> lock(mutex);
        claims.push_back(claim);
      }
    });
  for (std::thread& thread : threads) thread.join();
  std::sort(claims.begin(), claims.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
  long next = 0;
  for (size_t i = 0; i < claims.size(); ++i) {
    EXPECT_EQ(claims[i].index, static_cast<long>(i));
    EXPECT_EQ(claims[i].begin, next);
    EXPECT_EQ(claims[i].end - claims[i].begin, i + 1 < claims.size() ? 16 : kDiagonals % 16);
    next = claims[i].end;
  }
  EXPECT_EQ(next, kDiagonals);
}

// A thread four times slower than the fastest live one takes strips a quarter as wide, never below the narrowest, in
// the pass it was slower in; speeds forgotten, every thread takes the widest again.
TEST(StripSchedule, AThreadSlowerThanTheFastestTakesStripsNarrowerInProportion) {
  SgmStripSchedule::Forget();
  std::mutex mutex;
  std::condition_variable changed;
  bool measured = false, done = false;
  std::thread fast([&] {
    SgmStripSchedule::Report(0, 1000, 1000);
    std::unique_lock<std::mutex> lock(mutex);
    measured = true;
    changed.notify_all();
    changed.wait(lock, [&] { return done; });  // stays alive, and counted, until the claims are made
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return measured; });
  }
  SgmStripSchedule::Report(0, 1000, 4000);
  SgmStripSchedule::Report(1, 1000, 1000);  // as fast as the other thread in the other pass
  SgmStripSchedule schedule(1000, 64, 2, 0), tight(1000, 64, 32, 0), other_pass(1000, 64, 2, 1);
  SgmStripClaim claim{};
  ASSERT_TRUE(schedule.Claim(claim));
  EXPECT_EQ(claim.end - claim.begin, 16);
  ASSERT_TRUE(tight.Claim(claim));
  EXPECT_EQ(claim.end - claim.begin, 32);
  ASSERT_TRUE(other_pass.Claim(claim));
  EXPECT_EQ(claim.end - claim.begin, 64);
  SgmStripSchedule::Forget();
  ASSERT_TRUE(schedule.Claim(claim));
  EXPECT_EQ(claim.end - claim.begin, 64);
  {
    const std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  changed.notify_all();
  fast.join();
}

// A strip's follower that has waited long for its rows sleeps instead of spinning, and their publication wakes it;
// rows short of what it waits for leave it asleep. It counts the sleep as its own choice.
TEST(StripProgress, AWaiterThatWaitedLongSleepsAndThePublicationWakesIt) {
  SgmStripProgress progress;
  progress.Reset();
  std::atomic<bool> returned{false};
  timespec processor_time{};
  std::chrono::nanoseconds waited{0}, slept{0};
  std::thread follower([&] {
    waited = progress.Await(3);
    slept = sgm_chosen_sleep();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &processor_time);
    returned.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  progress.Publish(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(returned.load());
  progress.Publish(3);
  follower.join();
  EXPECT_GE(waited, std::chrono::milliseconds(100));  // from when the follower began to wait, after its start
  // A sleep it chose: not time it went without its processor.
  EXPECT_GE(slept, std::chrono::milliseconds(99));
  // Spinning all along would have cost about 120 ms of processor time.
  EXPECT_LT(std::chrono::seconds(processor_time.tv_sec) + std::chrono::nanoseconds(processor_time.tv_nsec),
            std::chrono::milliseconds(40));
  EXPECT_EQ(progress.Await(3), std::chrono::nanoseconds::zero());
}

struct StripCase {
  int height, width, radius, disparity_max, paths, threads, penalty1, penalty2;
};

std::ostream& operator<<(std::ostream& out, const StripCase& c) {
  return out << c.width << "x" << c.height << " r=" << c.radius << " D=" << c.disparity_max << " paths=" << c.paths
             << " threads=" << c.threads << " P1=" << c.penalty1 << " P2=" << c.penalty2;
}

class StripsAgainstReference : public ::testing::TestWithParam<SgmCodePath> {
 protected:
  void SetUp() override {
    if (!sgm_select_code_path(GetParam())) GTEST_SKIP() << "this processor lacks the form";
    sgm_sweep_schedule_for_tests(SgmEightPathSchedule::kStrips);
  }
  void TearDown() override {
    sgm_strip_widths_for_tests({});
    sgm_sweep_schedule_for_tests(SgmEightPathSchedule::kByContention);
    libtessaro_close();
    sgm_select_code_path(sgm_best_code_path());
  }
};

// Byte and 16-bit forward sums, byte and 16-bit cells, five to eight paths, areas one row high or one column wide.
const StripCase kCases[] = {
    {40, 150, 2, 32, 8, 6, 7, 60},   // byte sums: 4 x 60 fits a byte; the families' a byte volume each
    {40, 150, 2, 32, 8, 6, 7, 18},   // the families' sums fit one byte volume: 6 x (24 + 18)
    {40, 150, 2, 32, 8, 6, 7, 104},  // the families' sums in 16 bits: 2 x (24 + 104) do not fit a byte
    {90, 48, 2, 16, 8, 6, 7, 64},   // 16-bit sums: 4 x 64 does not
    {37, 61, 1, 14, 5, 3, 7, 40},   // the backward pass has only its row path
    {37, 61, 1, 14, 7, 4, 7, 40},
    {40, 100, 7, 24, 8, 5, 3, 31},  // 16-bit cells: 225 census bits + 31
    {5, 60, 2, 16, 8, 4, 7, 40},    // one row
    {30, 20, 2, 16, 8, 4, 7, 40},   // one column
};

// Two full-range frames of c, against the reference.
void ExpectReferenceFrames(const StripCase& c, const std::vector<long>& widths) {
  // Full-range frames: W covers D and the threshold accepts every cost.
  const Combination combination = {c.height,  c.width,         c.radius, 0,     c.disparity_max, c.paths,
                                   c.threads, c.disparity_max, 65535,    false, false};
  ASSERT_EQ(libtessaro_init(ParametersOf(combination, c.penalty1, c.penalty2)), 0) << c;
  sgm_strip_widths_for_tests(widths);
  ReferenceMatcher reference(SettingsOf(combination, c.penalty1, c.penalty2));
  std::vector<uint8_t> out(s_sgm_m * s_sgm_n);
  for (unsigned frame = 0; frame < 2; ++frame) {
    const TestPair pair = MakeShiftedPair(c.height, c.width, 3 + static_cast<int>(frame), 7, 31 * frame + 5);
    libtessaro_process(out.data(), pair.left.data(), pair.right.data(), false);
    ASSERT_EQ(out, reference.Process(pair.left.data(), pair.right.data(), false))
        << c << ", widths " << ::testing::PrintToString(widths) << ", frame " << frame;
  }
}

// Strips of two diagonals (the narrowest), of mixed widths, the widest, and the widths the threads' speeds give.
TEST_P(StripsAgainstReference, EveryStripWidthGivesTheReferenceFrames) {
  const std::vector<std::vector<long>> kWidths = {{2}, {3, 2, 7}, {5, 2, 2, 64, 9, 3}, {100000}, {}};
  for (const StripCase& c : kCases)
    for (const std::vector<long>& widths : kWidths) ExpectReferenceFrames(c, widths);
}

// While other work takes the processors, the same frames run as independent families of lines.
TEST_P(StripsAgainstReference, FamiliesOfLinesGiveTheReferenceFrames) {
  sgm_sweep_schedule_for_tests(SgmEightPathSchedule::kFamilies);
  for (const StripCase& c : kCases) ExpectReferenceFrames(c, {});
}

INSTANTIATE_TEST_SUITE_P(Forms, StripsAgainstReference,
                         ::testing::Values(SgmCodePath::kPlain, SgmCodePath::kVector128, SgmCodePath::kAvx2,
                                           SgmCodePath::kAvx512));

}  // namespace
