// Frames of the simulated cameras: the exposure model, the shared frame clock, one producer
// thread per camera, fault switches and the once-a-second statistics line.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "sim_state.h"

namespace simcam {
namespace {

// Light on the scene at a frame: the brightness step reached times the lighting at the frame's time.
double BrightnessAt(const Settings& settings, uint64_t frame) {
  double brightness = 1.0;
  for (const BrightnessStep& step : settings.brightness_schedule)
    if (frame >= step.from_frame) brightness = step.brightness;
  return brightness * LightingLevel(settings.lighting, static_cast<double>(frame) / settings.frame_rate);
}

// How much brighter than its reflectance the sensor renders the scene: proportional to gain times
// integration time, 1 at the reference exposure value.
double ExposureFactor(const Settings& settings, int gain, int time) {
  if (gain <= 0 || time <= 0 || settings.gain_min <= 0 || settings.time_min <= 0) return 0.0;
  const double ev = std::log2(static_cast<double>(gain) / settings.gain_min) +
                    std::log2(static_cast<double>(time) / settings.time_min);
  return std::exp2(ev - settings.reference_ev);
}

bool SkipsFrame(const Settings& settings, int camera, uint64_t frame) {
  if (camera == settings.silent_camera) return true;
  if (camera == settings.drop_camera && settings.drop_every > 0 && (frame + 1) % settings.drop_every == 0) return true;
  if (camera == settings.stall_camera && frame >= settings.stall_after) return true;
  return false;
}

void PrintStatisticsIfDue() {
  SimState& state = State();
  std::unique_lock<std::mutex> lock(state.mutex);
  const Clock::time_point now = Clock::now();
  if (now < state.next_statistics) return;
  state.next_statistics = now + kStatisticsInterval;
  char line[256];
  int used = std::snprintf(line, sizeof(line), "sim_camera:");
  for (int i = 0; i < kCameraCount; ++i) {
    SimCamera* camera = state.cameras[i];
    if (camera == nullptr) continue;
    int gain = 0;
    int time = 0;
    {
      std::lock_guard<std::mutex> sensor(camera->sensor_mutex);
      gain = camera->applied_gain;
      time = camera->applied_time;
    }
    used += std::snprintf(line + used, sizeof(line) - used, " cam%d frames=%llu skipped=%llu gain=%d time=%d;", i,
                          static_cast<unsigned long long>(camera->delivered.load()),
                          static_cast<unsigned long long>(camera->skipped.load()), gain, time);
    if (used >= static_cast<int>(sizeof(line))) break;
  }
  lock.unlock();
  std::fprintf(stderr, "%s\n", line);
}

}  // namespace

double LightingLevel(const std::vector<LightingPoint>& lighting, double seconds) {
  if (lighting.empty()) return 1.0;
  const double period = lighting.back().seconds;
  if (period > 0) seconds = std::fmod(std::max(seconds, 0.0), period);
  if (seconds <= lighting.front().seconds) return lighting.front().level;
  for (size_t i = 1; i < lighting.size(); ++i) {
    const LightingPoint& from = lighting[i - 1];
    const LightingPoint& to = lighting[i];
    if (seconds > to.seconds) continue;
    const double span = to.seconds - from.seconds;
    return span <= 0 ? to.level : from.level + (to.level - from.level) * (seconds - from.seconds) / span;
  }
  return lighting.back().level;
}

// Makes the content a camera shows ready before its first frame: the scene once, files per start.
void PrepareContent(SimCamera* camera) {
  SimState& state = State();
  std::call_once(state.lens_once, [&state] {
    for (int index = 0; index < kCameraCount; ++index) state.lens[index] = BuildLensWarp(index);
  });
  if (camera->settings.content == "files") {
    const auto& paths = camera->index == 0 ? camera->settings.left_files : camera->settings.right_files;
    std::string error;
    if (!LoadFileFrames(paths, state.lens[camera->index], &state.file_frames[camera->index], &error)) {
      std::fprintf(stderr, "sim_camera: %s\n", error.c_str());
      state.file_frames[camera->index].clear();
    }
  } else {
    std::call_once(state.scene_once, [&state] { state.scene = std::make_unique<PassageScene>(ModuleGeometry()); });
  }
}

// Renders frame `frame` of a camera with the exposure currently applied and takes on the gain and
// time set so far for the next frame, before the frame goes out: a new setting shows one frame
// late, and a setting made in answer to this frame two frames late, whatever the threads' timing.
bool ProduceFrame(SimCamera& camera, uint64_t frame, uint64_t stamp) {
  const Settings& settings = camera.settings;
  if (SkipsFrame(settings, camera.index, frame)) {
    camera.skipped++;
    return false;
  }
  std::lock_guard<std::mutex> frame_lock(camera.frame_mutex);
  double factor = 1.0;
  {
    std::lock_guard<std::mutex> sensor(camera.sensor_mutex);
    if (!camera.sensor_auto_exposure) factor = ExposureFactor(settings, camera.applied_gain, camera.applied_time);
    camera.applied_gain = camera.gain;
    camera.applied_time = camera.time;
  }
  factor *= BrightnessAt(settings, frame);

  const int b = camera.next_buffer;
  camera.next_buffer = (b + 1) % kBufferCount;
  cv::Mat& y = camera.y_buffers[b];
  cv::Mat& vu = camera.vu_buffers[b];
  cv::Mat& reflectance = camera.reflectance;
  SimState& state = State();
  if (settings.content == "files") {
    const std::vector<FileFrame>& frames = state.file_frames[camera.index];
    if (frames.empty()) {
      camera.skipped++;
      return false;
    }
    const FileFrame& file_frame = frames[frame % frames.size()];
    reflectance = file_frame.y;
    file_frame.vu.copyTo(vu);
  } else {
    state.scene->Render(camera.index, static_cast<double>(frame) / settings.frame_rate, &camera.rectified);
    ThroughLens(state.lens[camera.index], camera.rectified, &reflectance);
    vu.setTo(kNeutralChroma);
  }
  reflectance.convertTo(y, CV_8UC1, factor);  // saturates at 255

  camera_preview_frame record{};
  record.value0 = frame;
  record.value1 = static_cast<uint32_t>(b);
  record.stamp = stamp;
  record.y_plane = y.ptr<uint8_t>(0);
  record.y_width = kFrameWidth;
  record.y_height = kFrameHeight;
  record.vu_plane = vu.ptr<uint8_t>(0);
  record.vu_width = kFrameWidth;
  record.vu_height = kFrameHeight / 2;
  if (camera.frame_function != nullptr) camera.frame_function(&record);
  camera.delivered++;
  if (settings.statistics) PrintStatisticsIfDue();
  return true;
}

uint64_t StampFor(SimCamera& camera, uint64_t base_us) {
  int64_t stamp = static_cast<int64_t>(base_us);
  if (camera.index == 1) stamp += camera.settings.stamp_skew_us;
  if (camera.index == camera.settings.delay_camera) stamp += camera.settings.delay_us;
  if (camera.settings.stamp_jitter_us > 0) {
    std::uniform_int_distribution<int64_t> spread(-camera.settings.stamp_jitter_us, camera.settings.stamp_jitter_us);
    std::lock_guard<std::mutex> frame_lock(camera.frame_mutex);
    stamp += spread(camera.jitter);
  }
  return static_cast<uint64_t>(std::max<int64_t>(stamp, 0));
}

// One camera's producer: waits for each tick of the shared clock and delivers that frame.
void ProducerLoop(SimCamera* camera) {
  SimState& state = State();
  const auto period = std::chrono::nanoseconds(1000000000LL / camera->settings.frame_rate);
  // A delayed camera takes (and hands over) each frame that long after the tick.
  const auto delay = std::chrono::microseconds(
      camera->index == camera->settings.delay_camera ? camera->settings.delay_us : 0);
  std::unique_lock<std::mutex> lock(state.mutex);
  uint64_t frame = static_cast<uint64_t>((Clock::now() - state.clock_start) / period) + 1;
  if (Clock::now() <= state.clock_start) frame = 0;
  while (!camera->stopping) {
    // A camera that fell more than a frame behind the clock (a stalled machine) drops the ticks it
    // missed, as a sensor does; when the whole process stalled, both cameras resume on one tick.
    const uint64_t current =
        static_cast<uint64_t>(std::max<int64_t>(0, (Clock::now() - delay - state.clock_start) / period));
    if (current > frame + 1) {
      camera->skipped += current - frame;
      frame = current;
    }
    const Clock::time_point due = state.clock_start + period * frame;
    if (state.wake.wait_until(lock, due + delay, [camera] { return camera->stopping; })) break;
    lock.unlock();
    const uint64_t stamp_us = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(due.time_since_epoch()).count());
    ProduceFrame(*camera, frame, StampFor(*camera, stamp_us));
    lock.lock();
    ++frame;
  }
}

void StopPreview(SimCamera* camera) {
  SimState& state = State();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (!camera->previewing) return;
  camera->stopping = true;
  camera->previewing = false;
  state.wake.notify_all();
  lock.unlock();
  if (camera->producer.joinable()) camera->producer.join();
  lock.lock();
  bool any_previewing = false;
  for (SimCamera* other : state.cameras) any_previewing |= other != nullptr && other->previewing;
  if (!any_previewing) state.clock_running = false;
}

}  // namespace simcam
