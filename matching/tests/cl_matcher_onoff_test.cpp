// With OpenCL on, CPU-path frames take their census cost from the GPU: the matcher's output must be
// byte-identical to the frames of an all-CPU run.
#include <gtest/gtest.h>

#include "libtessaro.h"
#include "matcher_test_support.h"
#include "test_images.h"

namespace {

constexpr int kFrames = 3;  // a full-range frame, then two with the temporal window

std::vector<std::vector<uint8_t>> Match(tagSGMParameterSet set, bool opencl, const TestPair& pair) {
  set.opencl_enable = opencl;
  testing::internal::CaptureStdout();
  libtessaro_init(set);
  testing::internal::GetCapturedStdout();
  std::vector<std::vector<uint8_t>> frames;
  for (int frame = 0; frame < kFrames; ++frame) {
    frames.emplace_back(s_sgm_m * s_sgm_n);
    libtessaro_process(frames.back().data(), pair.left.data(), pair.right.data(), true);
  }
  libtessaro_close();
  return frames;
}

TEST(ClMatcherOnOff, CpuPathOutputIsIdentical) {
  struct Case {
    int min, max, radius, paths, interval;
  };
  const int height = 240, width = 320;
  const TestPair pair = MakeShiftedPair(height, width, 9, 17, 5);
  for (const Case c : {Case{0, 24, 2, 4, 0}, Case{0, 48, 3, 8, 0}, Case{4, 28, 1, 8, 0}, Case{0, 24, 9, 4, 0},
                       Case{0, 24, 2, 4, 1}}) {
    SCOPED_TRACE(testing::Message() << "disparities " << c.min << ".." << c.max << " r " << c.radius << " paths "
                                    << c.paths << " interval " << c.interval);
    tagSGMParameterSet set = MatcherParameters(height, width, c.min, c.max, c.radius);
    set.path_number = c.paths;
    set.thread_number = 2;
    set.image_interval_sampling = c.interval;
    const auto cpu = Match(set, false, pair);
    const auto gpu = Match(set, true, pair);
    for (int frame = 0; frame < kFrames; ++frame) EXPECT_TRUE(cpu[frame] == gpu[frame]) << "frame " << frame;
  }
}

}  // namespace
