// The matcher's and OpenCV's parameters of the benchmark figures.
#include "bench_setup.h"

#include <cstdlib>

namespace {

constexpr int kBlockSize = 5;
constexpr int kSgbmP1 = 8 * kBlockSize * kBlockSize;
constexpr int kSgbmP2 = 32 * kBlockSize * kBlockSize;
constexpr int kSgbmUniqueness = 10;
constexpr int kSgbmLeftRightDiff = 1;
constexpr int kSgbmSpeckleWindow = 100;
constexpr int kSgbmSpeckleRange = 2;

}  // namespace

tagSGMParameterSet bench_matcher_parameters(int width, int height, int disparities, int paths, unsigned long threads) {
  tagSGMParameterSet set{};
  set.image_height = static_cast<uint64_t>(height);
  set.image_width = static_cast<uint64_t>(width);
  set.disparity_min = 0;
  set.disparity_max = disparities;
  set.window_scale = kBenchCensusRadius;
  set.ddr_disparity_range = kBenchWindow;
  set.path_number = static_cast<uint64_t>(paths);
  set.thread_number = threads;
  set.image_interval_sampling = 0;
  set.sgm_penalty1 = kBenchPenalty1;
  set.sgm_penalty2 = kBenchPenalty2;
  set.ddr_threshold = kBenchThreshold;
  return set;
}

cv::Ptr<cv::StereoSGBM> bench_sgbm(int disparities, int mode) {
  return cv::StereoSGBM::create(0, disparities, kBlockSize, kSgbmP1, kSgbmP2, kSgbmLeftRightDiff, 0, kSgbmUniqueness,
                                kSgbmSpeckleWindow, kSgbmSpeckleRange, mode);
}

double bench_load_average() {
  double load[1] = {0};
  return getloadavg(load, 1) == 1 ? load[0] : -1;
}
