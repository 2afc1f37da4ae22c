// Times the census cost on the OpenCL device against the CPU census at the camera and depth sizes, each
// complete GPU pipeline against the CPU path on the same frames, and the first build of the kernel program.
//   cl_bench
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <opencv2/core.hpp>
#include <vector>

#include "cl_census.h"
#include "cl_runtime.h"
#include "bench_timing.h"
#include "libtessaro.h"
#include "sgm_census.h"
#include "sgm_state.h"

namespace {

constexpr int kFrames = 15;
constexpr int kWarmUpFrames = 2;
constexpr unsigned long kCensusRadius = 2;

struct BenchCase {
  int width;
  int height;
  int disparities;
};
constexpr BenchCase kCases[] = {{640, 480, 64}, {640, 480, 24}, {320, 240, 48}, {320, 240, 24}};

double median_milliseconds(const std::function<void()>& work) {
  return bench::MedianMilliseconds(work, kWarmUpFrames, kFrames);
}

tagSGMParameterSet census_parameters(const BenchCase& bench) {
  tagSGMParameterSet set{};
  set.image_height = static_cast<uint64_t>(bench.height);
  set.image_width = static_cast<uint64_t>(bench.width);
  set.disparity_max = bench.disparities;
  set.window_scale = kCensusRadius;
  set.ddr_disparity_range = static_cast<uint64_t>(bench.disparities);
  set.path_number = 4;
  set.thread_number = 1;
  set.opencl_enable = 1;
  return set;
}

void time_case(const BenchCase& bench) {
  cv::Mat left(bench.height, bench.width, CV_8U), right(bench.height, bench.width, CV_8U);
  cv::randu(left, 0, 256);
  cv::randu(right, 0, 256);
  double first = 0, gpu = 0, cpu = 0;
  {
    bench::QuietStdout quiet;
    libtessaro_init(census_parameters(bench));  // runs clInit and the census-cost set-up
    first = bench::MillisecondsOf([&] { clCatch(cl_calculate_census, sgm_cost_volume, left.data, right.data); });
    gpu = median_milliseconds([&] { clCatch(cl_calculate_census, sgm_cost_volume, left.data, right.data); });
    cpu = median_milliseconds([&] { calculate_census(sgm_cost_volume, left.data, right.data, kCensusRadius); });
  }
  libtessaro_close();
  std::printf("%dx%d D=%d r=%lu\n", bench.width, bench.height, bench.disparities, kCensusRadius);
  std::printf("  OpenCL census cost   %8.2f ms  (first frame %.2f ms)\n", gpu, first);
  std::printf("  CPU census cost      %8.2f ms  ratio OpenCL/CPU %.2f\n", cpu, gpu / cpu);
}

// One complete GPU pipeline: the record's image size, disparity range and sampling mode.
struct PipelineCase {
  const char* name;
  int width;
  int height;
  int disparities;
  int interval_sampling;
};
constexpr PipelineCase kPipelineCases[] = {{"interval sampling", 640, 480, 32, 1},
                                           {"32 disparities", 640, 480, 32, 0},
                                           {"32 disparities", 320, 240, 32, 0},
                                           {"16 disparities", 640, 480, 16, 0},
                                           {"16 disparities", 320, 240, 16, 0}};
constexpr unsigned long kPipelinePaths = 8;
constexpr unsigned short kPenalty1 = 10;
constexpr unsigned short kPenalty2 = 60;
constexpr uint64_t kUniquenessRatio = 15;
constexpr uint64_t kLeftRightMaxDiff = 1;
constexpr int kPipelineShift = 10;

// Milliseconds per frame of libtessaro_process with the given record, median of kFrames.
double time_matcher(tagSGMParameterSet set, const cv::Mat& left, const cv::Mat& right) {
  bench::QuietStdout quiet;
  libtessaro_init(set);
  std::vector<unsigned char> out(s_sgm_m * s_sgm_n);
  const double ms = median_milliseconds([&] { libtessaro_process(out.data(), left.data, right.data, false); });
  libtessaro_close();
  return ms;
}

void time_pipeline(const PipelineCase& bench) {
  cv::Mat right(bench.height, bench.width, CV_8U), left(bench.height, bench.width, CV_8U);
  cv::randu(right, 0, 256);
  // The left image sees the texture shifted by a known disparity.
  left.setTo(0);
  right.colRange(0, bench.width - kPipelineShift).copyTo(left.colRange(kPipelineShift, bench.width));
  tagSGMParameterSet set = census_parameters({bench.width, bench.height, bench.disparities});
  set.image_interval_sampling = bench.interval_sampling;
  set.path_number = kPipelinePaths;
  set.thread_number = kPipelinePaths;
  set.sgm_penalty1 = kPenalty1;
  set.sgm_penalty2 = kPenalty2;
  set.disparity_uniqueness_ratio = kUniquenessRatio;
  set.disparity_lr_max_diff = kLeftRightMaxDiff;
  const double gpu = time_matcher(set, left, right);
  set.opencl_enable = 0;
  const double cpu = time_matcher(set, left, right);
  const int scale = bench.interval_sampling == 1 ? 2 : 1;
  std::printf("%s pipeline, %dx%d in, %dx%d out, D=%d r=%lu, %lu paths\n", bench.name, bench.width, bench.height,
              bench.width / scale, bench.height / scale, bench.disparities, kCensusRadius, kPipelinePaths);
  std::printf("  OpenCL pipeline      %8.2f ms per frame\n", gpu);
  std::printf("  CPU path             %8.2f ms per frame  ratio OpenCL/CPU %.2f\n", cpu, gpu / cpu);
}

}  // namespace

int main() {
  // pocl keeps compiled programs in a cache; without it the build below is a true first build.
  setenv("POCL_KERNEL_CACHE", "0", 1);
  double build = 0;
  {
    bench::QuietStdout quiet;
    build = bench::MillisecondsOf([] { clCatch(clInit, -1, -1); });
  }
  std::printf("device: %s\n", commandQueues.front().getInfo<CL_QUEUE_DEVICE>().getInfo<CL_DEVICE_NAME>().c_str());
  std::printf("first build of the kernel program (clInit, no kernel cache): %.1f ms\n", build);
  std::printf("median of %d frames\n", kFrames);
  for (const BenchCase& bench : kCases) time_case(bench);
  for (const PipelineCase& bench : kPipelineCases) time_pipeline(bench);
  return 0;
}
