// Helpers of the GPU pipeline tests: matcher records, frame runs through the exported interface.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "libtessaro.h"
#include "matcher_test_support.h"
#include "test_images.h"

namespace pipetest {

constexpr uint64_t kNoUniquenessTest = 0;
constexpr uint64_t kNoLeftRightCheck = 255;

// A matcher record over height x width images with disparities 0 .. d_range-1.
inline tagSGMParameterSet Parameters(int height, int width, int d_range, int radius, bool opencl,
                                     uint64_t uniqueness_ratio = kNoUniquenessTest,
                                     uint64_t lr_max_diff = kNoLeftRightCheck, int paths = 8, int interval = 0) {
  tagSGMParameterSet set = MatcherParameters(height, width, 0, d_range, radius);
  set.path_number = static_cast<uint64_t>(paths);
  set.thread_number = 2;
  set.image_interval_sampling = interval;
  set.opencl_enable = opencl ? 1 : 0;
  set.disparity_uniqueness_ratio = uniqueness_ratio;
  set.disparity_lr_max_diff = lr_max_diff;
  return set;
}

// One matched frame: the disparity image and the error map, s_sgm_m x s_sgm_n each.
struct Frame {
  std::vector<uint8_t> out;
  std::vector<uint8_t> err;
  int errmatch = 0;  // CalculateErrMatch() right after the frame
};

// Initialises the matcher (its OpenCL inventory swallowed) without closing it.
inline void Init(const tagSGMParameterSet& set) {
  testing::internal::CaptureStdout();
  libtessaro_init(set);
  testing::internal::GetCapturedStdout();
}

// Matches one pair with the matcher as it is set up.
inline Frame Process(const TestPair& pair) {
  Frame frame;
  frame.out.assign(s_sgm_m * s_sgm_n, 0);
  libtessaro_process(frame.out.data(), pair.left.data(), pair.right.data(), false);
  frame.err.assign(s_sgm_uniqueness_err, s_sgm_uniqueness_err + s_sgm_m * s_sgm_n);
  frame.errmatch = CalculateErrMatch();
  return frame;
}

// Initialises, matches each pair in turn and closes the matcher.
inline std::vector<Frame> Run(const tagSGMParameterSet& set, const std::vector<TestPair>& pairs) {
  Init(set);
  std::vector<Frame> frames;
  for (const TestPair& pair : pairs) frames.push_back(Process(pair));
  libtessaro_close();
  return frames;
}

// A pair of one grey value everywhere.
inline TestPair UniformPair(int height, int width, uint8_t value) {
  const std::vector<uint8_t> image(static_cast<size_t>(height) * width, value);
  return {image, image};
}

// A pair of unrelated random images: nothing matches, so the checks have much to flag.
inline TestPair NoisePair(int height, int width, unsigned seed) {
  const TestPair a = MakeShiftedPair(height, width, 0, 0, seed);
  const TestPair b = MakeShiftedPair(height, width, 0, 0, seed + 1);
  return {a.left, b.right};
}

}  // namespace pipetest
