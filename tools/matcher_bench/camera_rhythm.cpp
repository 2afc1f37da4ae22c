// The camera matches one pair every 50 ms and its threads idle in between: frames timed that way on a real scene
// (resized to the camera's image and depth sizes), beside the same frames back to back, for the matcher and for
// OpenCV's SGBM_3WAY.
#include "camera_rhythm.h"

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <vector>

#include "bench_setup.h"
#include "bench_timing.h"
#include "libtessaro.h"

namespace {

constexpr long kFramePeriodMilliseconds = 50;  // the camera's 20 frames a second
constexpr int kPacedWarmUpFrames = 5;
constexpr int kPacedFrames = 40;
constexpr int kBackToBackWarmUpFrames = 2;
constexpr int kBackToBackFrames = 21;
constexpr double kBackToBackWarmUpMilliseconds = 300;
constexpr unsigned long kCameraThreads = 4;  // thread_number of the camera's configuration
constexpr unsigned long kAllProcessors = 0;
constexpr unsigned long kCaptureProcessor = 4;

struct RhythmCase {
  int width;
  int height;
  int disparities;
  int paths;
  unsigned long threads;  // kAllProcessors: as many as the processors
};
constexpr RhythmCase kCases[] = {{640, 480, 64, 4, kAllProcessors},
                                 {640, 480, 64, 4, kCameraThreads},
                                 {640, 480, 64, 8, kAllProcessors},
                                 {320, 240, 32, 4, kAllProcessors},
                                 {320, 240, 32, 4, kCameraThreads}};

// The camera sets the matcher up on its main thread and matches on the capture thread, pinned to processor 4 (on
// a machine with fewer processors, the last one).
int capture_processor() {
  const unsigned long processors = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<int>(std::min(kCaptureProcessor, processors - 1));
}

// Pins the calling thread to the capture thread's processor for its lifetime.
class AsCaptureThread {
 public:
  AsCaptureThread() {
    CPU_ZERO(&before_);
    sched_getaffinity(0, sizeof(before_), &before_);
    BindThreadToCpu(capture_processor());
  }
  ~AsCaptureThread() { sched_setaffinity(0, sizeof(before_), &before_); }
  AsCaptureThread(const AsCaptureThread&) = delete;
  AsCaptureThread& operator=(const AsCaptureThread&) = delete;

 private:
  cpu_set_t before_;
};

// Runs work at the start of every 50 ms tick (sleeping until it) and times each run after the warm-up.
bench::Spread paced(const std::function<void()>& work) {
  return bench::SpreadOf(bench::PacedMilliseconds(work, kFramePeriodMilliseconds, kPacedWarmUpFrames, kPacedFrames));
}

double back_to_back(const std::function<void()>& work) {
  return bench::MedianMilliseconds(work, kBackToBackWarmUpFrames, kBackToBackFrames, kBackToBackWarmUpMilliseconds);
}

void run_case(const RhythmCase& c, const cv::Mat& scene_left, const cv::Mat& scene_right) {
  cv::Mat left, right;
  cv::resize(scene_left, left, cv::Size(c.width, c.height), 0, 0, cv::INTER_AREA);
  cv::resize(scene_right, right, cv::Size(c.width, c.height), 0, 0, cv::INTER_AREA);
  const unsigned long processors = std::max(1u, std::thread::hardware_concurrency());
  const unsigned long threads = c.threads == kAllProcessors ? processors : c.threads;
  cv::Mat out(c.height, c.width, CV_8U);
  bench::Spread ours_paced{}, theirs_paced{};
  double ours_back = 0, theirs_back = 0;
  {
    bench::QuietStdout quiet;
    libtessaro_init(bench_matcher_parameters(c.width, c.height, c.disparities, c.paths, threads));
    // Every camera frame is a full-range frame (use_previous false).
    auto frame = [&] { libtessaro_process(out.data, left.data, right.data, false); };
    {
      const AsCaptureThread capture;
      ours_paced = paced(frame);
      ours_back = back_to_back(frame);
    }
    libtessaro_close();
  }
  cv::Ptr<cv::StereoSGBM> sgbm = bench_sgbm(c.disparities, cv::StereoSGBM::MODE_SGBM_3WAY);
  cv::Mat disparity;
  auto theirs = [&] { sgbm->compute(left, right, disparity); };
  theirs_paced = paced(theirs);
  theirs_back = back_to_back(theirs);
  const double load = bench_load_average();
  std::printf("%dx%d D=%d paths=%d, tessaro on %lu threads, OpenCV on %d (load average %.2f)\n", c.width, c.height,
              c.disparities, c.paths, threads, cv::getNumThreads(), load);
  std::printf("  one frame every 50 ms: tessaro %6.2f ms (90th %6.2f)  SGBM_3WAY %6.2f ms (90th %6.2f)  ratio %.2f\n",
              ours_paced.median, ours_paced.p90, theirs_paced.median, theirs_paced.p90,
              theirs_paced.median / ours_paced.median);
  std::printf("  back to back:          tessaro %6.2f ms              SGBM_3WAY %6.2f ms              ratio %.2f\n",
              ours_back, theirs_back, theirs_back / ours_back);
  std::printf("  RHYTHM %dx%d D=%d paths=%d threads=%lu: SGBM_3WAY / tessaro every 50 ms %.2f, back to back %.2f "
              "(load average %.2f)\n",
              c.width, c.height, c.disparities, c.paths, threads, theirs_paced.median / ours_paced.median,
              theirs_back / ours_back, load);
}

}  // namespace

void run_camera_rhythm(const std::string& scene_folder) {
  const cv::Mat left = cv::imread(scene_folder + "/left.png", cv::IMREAD_GRAYSCALE);
  const cv::Mat right = cv::imread(scene_folder + "/right.png", cv::IMREAD_GRAYSCALE);
  if (left.empty() || right.empty()) {
    std::printf("real-pair figures skipped: no left.png and right.png in %s\n", scene_folder.c_str());
    return;
  }
  std::printf("real pair %s (%dx%d) resized to each case; tessaro set up on a free thread and called from one pinned "
              "to processor %d, as in the camera; medians of %d frames; tessaro r=%lu P1=%u P2=%u\n",
              scene_folder.c_str(), left.cols, left.rows, capture_processor(), kPacedFrames, kBenchCensusRadius,
              kBenchPenalty1, kBenchPenalty2);
  for (const RhythmCase& c : kCases) run_case(c, left, right);
}
