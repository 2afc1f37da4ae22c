// Runs the video device for N frames on the board's simulated camera (the passage scene, the real
// exposure, calibration and matcher) and prints frames per second, the time of each pipeline stage
// and the latency from the capture thread taking a pair to the disparity callback, on the camera's
// 20 fps frame clock and with the frame clock unthrottled.
//   video_device_bench [frames] [--unthrottled]
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "board/sim_camera.h"
#include "board/sim_module_geometry.h"
#include "cam_auto_exposure.h"
#include "status_led.h"
#include "stereo_video_deivce.h"
#include "test_support/sim_device.h"

namespace {

constexpr unsigned long kDefaultFrames = 200;
constexpr unsigned long kWarmUpFrames = 10;  // left out of the figures: first exposure steps, caches
constexpr int kCameraFrameRate = 20;          // the simulated camera's frame clock
constexpr int kUnthrottledFrameRate = 200;    // ticks faster than the pipeline: it sets the pace
constexpr double kFramePeriodMs = 1000.0 / kCameraFrameRate;

double Milliseconds(const timeval& from, const timeval& to) {
  return (to.tv_sec - from.tv_sec) * 1e3 + (to.tv_usec - from.tv_usec) / 1e3;
}

// What the callback gathers from the capture thread.
struct Run {
  std::mutex mutex;
  std::condition_variable done;
  unsigned long wanted = 0;
  unsigned long disparity_frames = 0;
  std::map<unsigned long, timeval> taken;  // when the capture thread took each pair, by index
  std::vector<double> latencies_ms;
  std::chrono::steady_clock::time_point measure_start;
  std::chrono::steady_clock::time_point measure_end;
};

void OnFrame(int type, int, int, unsigned long, const unsigned char*, unsigned long index, const timeval* timestamp,
             int, bool, void* context) {
  Run& run = *static_cast<Run*>(context);
  std::lock_guard<std::mutex> lock(run.mutex);
  // The colour image goes out with the time its pair was taken, the disparity image with its own.
  if (type == kStereoImageColour) {
    run.taken[index] = *timestamp;
    return;
  }
  ++run.disparity_frames;
  if (run.disparity_frames == kWarmUpFrames) run.measure_start = std::chrono::steady_clock::now();
  const auto taken = run.taken.find(index);
  if (run.disparity_frames > kWarmUpFrames && taken != run.taken.end())
    run.latencies_ms.push_back(Milliseconds(taken->second, *timestamp));
  if (taken != run.taken.end()) run.taken.erase(taken);
  if (run.disparity_frames == run.wanted + kWarmUpFrames) {
    run.measure_end = std::chrono::steady_clock::now();
    run.done.notify_all();
  }
}

bool RunOnce(unsigned long frames, bool unthrottled) {
  SimDeviceRoot root;
  if (!root.ok()) {
    std::fprintf(stderr, "video_device_bench: cannot lay out the board root\n");
    return false;
  }
  simcam::Settings camera;
  camera.frame_rate = unthrottled ? kUnthrottledFrameRate : kCameraFrameRate;
  camera.statistics = false;
  simcam::Configure(camera);
  OpenAllLED();
  tagVideoDeviceParameterSet set = SimModuleParameterSet();
  const tagCamExposureConfiguration exposure = SimModuleExposure();
  StereoVideoDeivce device;
  if (device.Init(&set, &exposure) != 0) {
    std::fprintf(stderr, "video_device_bench: Init failed\n");
    return false;
  }
  Run run;
  run.wanted = frames;
  device.Start(&OnFrame, &run);
  {
    std::unique_lock<std::mutex> lock(run.mutex);
    run.done.wait(lock, [&] { return run.disparity_frames >= run.wanted + kWarmUpFrames; });
  }
  device.Stop();
  const PipelineStageTimes& times = device.stage_times();
  device.Deinit();
  SetAllLEDOff();
  CloseAllLED();

  const double seconds = std::chrono::duration<double>(run.measure_end - run.measure_start).count();
  std::sort(run.latencies_ms.begin(), run.latencies_ms.end());
  const auto percentile = [&](double p) {
    return run.latencies_ms[static_cast<size_t>(p * (run.latencies_ms.size() - 1))];
  };
  std::printf("%s, %lu frames, camera frames %dx%d, depth image %dx%d\n",
              unthrottled ? "frame clock unthrottled" : "camera at 20 fps", frames, board::sim_module::kRawWidth,
              board::sim_module::kRawHeight, board::sim_module::kDepthWidth, board::sim_module::kDepthHeight);
  std::printf("  frames per second          %8.1f\n", frames / seconds);
  const char* names[] = {"remap (colour + grey)", "exposure hand-over", "matcher", "median filter", "error match"};
  double pipeline = 0.0;
  for (int stage = 0; stage < static_cast<int>(PipelineStage::kCount); ++stage) {
    const double ms = times.MeanMilliseconds(static_cast<PipelineStage>(stage));
    pipeline += ms;
    std::printf("  %-26s %8.2f ms\n", names[stage], ms);
  }
  std::printf("  whole pipeline             %8.2f ms  (%.0f%% of the %.0f ms frame period)\n", pipeline,
              100.0 * pipeline / kFramePeriodMs, kFramePeriodMs);
  std::printf("  pair taken to disparity callback: median %.2f ms, 95%% %.2f ms, max %.2f ms\n", percentile(0.5),
              percentile(0.95), run.latencies_ms.back());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long frames = kDefaultFrames;
  bool only_unthrottled = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--unthrottled") == 0)
      only_unthrottled = true;
    else
      frames = std::strtoul(argv[i], nullptr, 10);
  }
  if (frames == 0) frames = kDefaultFrames;
  if (!only_unthrottled && !RunOnce(frames, false)) return 1;
  return RunOnce(frames, true) ? 0 : 1;
}
