// Times the CPU matcher against OpenCV's StereoSGBM on the same images, per stage as well, and
// compares the error of both on a real scene with ground truth. Every figure has the load average
// beside it; the ratio to SGBM_3WAY is taken within the same run.
//   matcher_bench [scene folder]     real-pair figures at the camera's rhythm and back to back, the synthetic
//                                    figures by stage, and the error on the scene
//   matcher_bench --rhythm [folder]  only the real-pair figures (tsukuba of the shared data by default)
//   matcher_bench --contention [nice=N] [schedule=strips|families]
//                                    frame times at the camera's rhythm idle, then with every processor kept busy by
//                                    other processes (the matcher N nice levels below them)
//   matcher_bench --processor-set    frame times asking for 2 threads and for 8 within this process's processors
//                                    (run it under taskset)
//   matcher_bench --wake             how fast threads woken together after a pause get to work, roaming or pinned
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench_setup.h"
#include "bench_timing.h"
#include "camera_rhythm.h"
#include "processor_runs.h"
#include "wake_placement.h"
#include "libtessaro.h"
#include "sgm_census.h"
#include "sgm_kernels.h"
#include "sgm_disparity.h"
#include "sgm_path.h"
#include "sgm_state.h"
#include "sgm_sweep.h"
#include "stereo_scene.h"

namespace {

constexpr int kFrames = 21;
constexpr int kWarmUpFrames = 2;
constexpr double kWarmUpMilliseconds = 300;  // the first 50-100 ms of frames after a pause run up to twice as long
constexpr float kSgbmScale = 16.0f;  // StereoSGBM reports disparities in 1/16 pixel
constexpr int kSyntheticShift = 7;
constexpr double kTextureBlurSigma = 1.0;
const unsigned long kThreads = std::max(1u, std::thread::hardware_concurrency());  // as OpenCV uses

struct BenchCase {
  int width;
  int height;
  int disparities;
};
constexpr BenchCase kCases[] = {{640, 480, 64}, {320, 240, 32}};
constexpr int kPathCounts[] = {4, 8};

struct SgbmMode {
  const char* name;
  int mode;
};
// HH4 is left out: it is many times slower than both and took most of the run.
constexpr SgbmMode kSgbmModes[] = {{"SGBM", cv::StereoSGBM::MODE_SGBM},
                                   {"SGBM_3WAY", cv::StereoSGBM::MODE_SGBM_3WAY}};

const char* code_path_name() {
  switch (sgm_current_code_path()) {
    case SgmCodePath::kPlain:
      return "plain";
    case SgmCodePath::kVector128:
      return "128-bit";
    case SgmCodePath::kAvx2:
      return "AVX2";
    case SgmCodePath::kAvx512:
      return "AVX-512";
  }
  return "?";
}

double median_milliseconds(const std::function<void()>& work) {
  return bench::MedianMilliseconds(work, kWarmUpFrames, kFrames, kWarmUpMilliseconds);
}

// A blurred random texture and the same texture seen from a camera kSyntheticShift pixels to the right.
void synthetic_pair(int width, int height, cv::Mat& left, cv::Mat& right) {
  cv::Mat noise(height, width + kSyntheticShift, CV_8U);
  cv::randu(noise, 0, 256);
  cv::GaussianBlur(noise, noise, cv::Size(), kTextureBlurSigma);
  left = noise(cv::Rect(kSyntheticShift, 0, width, height)).clone();
  right = noise(cv::Rect(0, 0, width, height)).clone();
}

void time_case(const BenchCase& bench, int paths) {
  cv::Mat left, right;
  synthetic_pair(bench.width, bench.height, left, right);
  cv::Mat out(bench.height, bench.width, CV_8U);
  libtessaro_init(bench_matcher_parameters(bench.width, bench.height, bench.disparities, paths, kThreads));
  double full = 0, narrowed = 0, census = 0, path = 0, narrowed_paths = 0, winner = 0;
  {
    bench::QuietStdout quiet;
    full = median_milliseconds([&] { libtessaro_process(out.data, left.data, right.data, false); });
    narrowed = median_milliseconds([&] { libtessaro_process(out.data, left.data, right.data, true); });
    // The stages of a full-range frame: census signatures, then the passes (costs, paths, winner-take-all).
    census = median_milliseconds([&] { sgm_census_signatures(left.data, right.data); });
    path = median_milliseconds([&] { sgm_sweep_aggregate(out.data); });
    // The narrowed frame's separate stages, on the path planes.
    narrowed_paths = median_milliseconds([&] { sgm_path(); });
    winner = median_milliseconds([&] { sgm_calculate_disparity(out.data); });
  }
  libtessaro_close();
  std::printf("%dx%d D=%d paths=%d (load average %.2f)\n", bench.width, bench.height, bench.disparities, paths,
              bench_load_average());
  std::printf("  tessaro full range   %8.2f ms  (census %.2f, paths with winner-take-all %.2f)\n", full, census, path);
  std::printf("  tessaro narrowed W=%lu %7.2f ms  (paths %.2f, winner-take-all %.2f)\n", kBenchWindow, narrowed,
              narrowed_paths, winner);
  double fastest = 0, three_way = 0;
  const char* fastest_name = "";
  for (const SgbmMode& mode : kSgbmModes) {
    cv::Ptr<cv::StereoSGBM> sgbm = bench_sgbm(bench.disparities, mode.mode);
    cv::Mat disparity;
    const double ms = median_milliseconds([&] { sgbm->compute(left, right, disparity); });
    std::printf("  OpenCV %-10s     %8.2f ms  (OpenCV / tessaro full range = %.2f)\n", mode.name, ms, ms / full);
    if (mode.mode == cv::StereoSGBM::MODE_SGBM_3WAY) three_way = ms;
    if (fastest == 0 || ms < fastest) {
      fastest = ms;
      fastest_name = mode.name;
    }
  }
  std::printf("  fastest OpenCV mode %s: tessaro (full range) is %.2fx %s\n", fastest_name,
              fastest > full ? fastest / full : full / fastest, fastest > full ? "faster" : "slower");
  std::printf("  RATIO %dx%d D=%d paths=%d: SGBM_3WAY / tessaro = %.2f (load average %.2f)\n", bench.width,
              bench.height, bench.disparities, paths, three_way / full, bench_load_average());
}

void score_scene(const std::string& folder) {
  StereoScene scene;
  std::string error;
  if (!LoadStereoScene(folder, scene, error)) {
    std::printf("scene skipped: %s\n", error.c_str());
    return;
  }
  cv::Mat out(scene.left.size(), CV_8U);
  tagSGMParameterSet set = bench_matcher_parameters(scene.left.cols, scene.left.rows, scene.disparities, 8, kThreads);
  libtessaro_init(set);
  {
    bench::QuietStdout quiet;
    libtessaro_process(out.data, scene.left.data, scene.right.data, false);
  }
  libtessaro_close();
  cv::Mat matcher;
  out.convertTo(matcher, CV_32F);
  const DisparityScore ours = ScoreDisparity(matcher, scene);
  cv::Mat raw, sgbm;
  bench_sgbm(scene.disparities, cv::StereoSGBM::MODE_SGBM)->compute(scene.left, scene.right, raw);
  raw.convertTo(sgbm, CV_32F, 1.0 / kSgbmScale);
  const DisparityScore theirs = ScoreDisparity(sgbm, scene);
  std::printf("scene %s (%dx%d, D=%d): bad pixels (|d-gt|>1 over nonocc) and density\n", scene.name.c_str(),
              scene.left.cols, scene.left.rows, scene.disparities);
  std::printf("  tessaro 8 paths  bad %6.2f %%  density %6.2f %%\n", ours.bad_percent, ours.density_percent);
  std::printf("  OpenCV SGBM      bad %6.2f %%  density %6.2f %%\n", theirs.bad_percent, theirs.density_percent);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string option = argc > 1 ? argv[1] : "";
  const std::string default_scene = std::string(STEREO_DATA_DIR) + "/tsukuba";
  std::printf("OpenCV threads: %d; tessaro r=%lu P1=%u P2=%u, %s loops\n", cv::getNumThreads(), kBenchCensusRadius,
              kBenchPenalty1, kBenchPenalty2, code_path_name());
  if (option == "--contention" || option == "--processor-set") {
    cv::Mat left, right;
    synthetic_pair(kCases[0].width, kCases[0].height, left, right);
    if (option == "--processor-set") {
      run_processor_set(left, right);
      return 0;
    }
    int nice = 0;
    std::string schedule;
    for (int i = 2; i < argc; ++i) {
      const std::string argument = argv[i];
      if (argument.rfind("nice=", 0) == 0) nice = std::atoi(argument.c_str() + 5);
      if (argument.rfind("schedule=", 0) == 0) schedule = argument.substr(9);
    }
    run_contention(left, right, nice, schedule);
    return 0;
  }
  if (option == "--wake") {
    run_wake_placement();
    return 0;
  }
  if (option == "--rhythm") {
    run_camera_rhythm(argc > 2 ? argv[2] : default_scene);
    return 0;
  }
  const std::string scene_folder = argc > 1 ? argv[1] : default_scene;
  run_camera_rhythm(scene_folder);
  std::printf("synthetic pair, median of %d frames back to back, tessaro on %lu threads\n", kFrames, kThreads);
  for (const BenchCase& bench : kCases)
    for (int paths : kPathCounts) time_case(bench, paths);
  score_scene(scene_folder);
  return 0;
}
