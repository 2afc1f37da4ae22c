// Times the CPU matcher against OpenCV's StereoSGBM on the same images, per stage as well, and
// compares the error of both on a real scene with ground truth. Every figure has the load average
// beside it; the ratio to SGBM_3WAY is taken within the same run.
//   matcher_bench [scene folder]     real-pair figures at the camera's rhythm and back to back, the synthetic
//                                    figures by stage, and the error on the scene
//   matcher_bench --rhythm [folder]  only the real-pair figures (tsukuba of the shared data by default)
//   matcher_bench --contention       frame times idle, then with every processor kept busy by other processes
//   matcher_bench --wake             how fast threads woken together after a pause get to work, roaming or pinned
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench_setup.h"
#include "bench_timing.h"
#include "camera_rhythm.h"
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
constexpr int kContentionFrames = 60;
constexpr int kContentionSeconds = 120;  // the busy processes end themselves after this, whatever happens

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

// Starts one busy process per processor; each ends itself after kContentionSeconds.
std::vector<pid_t> start_busy_processes() {
  std::vector<pid_t> children;
  for (unsigned long i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) {
    // Spawned (no copy of this process's pages, which the matcher would then fault on copy-on-write); the
    // shell's own timeout ends each one should this program die first.
    pid_t child = 0;
    const std::string script = "end=$(($(date +%s) + " + std::to_string(kContentionSeconds) +
                               ")); while [ $(date +%s) -lt $end ]; do i=0;"
                               " while [ $i -lt 100000 ]; do i=$((i+1)); done; done";
    char* const arguments[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script.c_str()),
                               nullptr};
    if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, arguments, environ) != 0) continue;
    children.push_back(child);
  }
  return children;
}

void stop_busy_processes(const std::vector<pid_t>& children) {
  for (pid_t child : children) kill(child, SIGKILL);
  for (pid_t child : children) waitpid(child, nullptr, 0);
}

// Frame times of the first case (median and worst of kContentionFrames), idle and with every processor busy.
void contention_run() {
  const BenchCase bench = kCases[0];
  cv::Mat left, right;
  synthetic_pair(bench.width, bench.height, left, right);
  cv::Mat out(bench.height, bench.width, CV_8U);
  for (int paths : kPathCounts) {
    {
      bench::QuietStdout quiet;  // the OpenCL inventory
      libtessaro_init(bench_matcher_parameters(bench.width, bench.height, bench.disparities, paths, kThreads));
    }
    for (bool loaded : {false, true}) {
      const std::vector<pid_t> busy = loaded ? start_busy_processes() : std::vector<pid_t>{};
      std::vector<double> times;
      {
        bench::QuietStdout quiet;
        for (int i = 0; i < kContentionFrames; ++i)
          times.push_back(bench::MillisecondsOf([&] { libtessaro_process(out.data, left.data, right.data, false); }));
      }
      const double load = bench_load_average();
      stop_busy_processes(busy);
      const long worst_frame = std::max_element(times.begin(), times.end()) - times.begin();
      std::sort(times.begin(), times.end());
      std::printf(
          "%dx%d D=%d paths=%d %-6s %lu busy processes: median %.2f ms, worst %.2f ms (frame %ld) (load average %.2f)\n",
          bench.width, bench.height, bench.disparities, paths, loaded ? "loaded" : "idle", busy.size(),
          times[times.size() / 2], times.back(), worst_frame, load);
    }
    libtessaro_close();
  }
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
  if (option == "--contention") {
    contention_run();
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
