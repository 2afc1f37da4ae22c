// Test controls of the simulated cameras: settings, call logs, frames on demand, command gate.
#include <algorithm>

#include "sim_state.h"

namespace simcam {

void Configure(const Settings& settings) {
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.settings = settings;
  state.configured = true;
}

std::vector<CallRecord> CallLog(int camera) {
  if (camera < 0 || camera >= kCameraCount) return {};
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.logs[camera];
}

void ClearCallLogs() {
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  for (auto& log : state.logs) log.clear();
}

int DeliverFrames() {
  int delivered = 0;
  for (int index = 0; index < kCameraCount; ++index) {
    SimCamera* camera = CameraOrNull(index);
    if (camera == nullptr || !camera->settings.manual) continue;
    {
      std::lock_guard<std::mutex> lock(State().mutex);
      if (!camera->previewing) continue;
    }
    const uint64_t frame = camera->next_manual_frame++;
    const uint64_t period_us = 1000000ull / static_cast<uint64_t>(camera->settings.frame_rate);
    if (ProduceFrame(*camera, frame, StampFor(*camera, frame * period_us))) ++delivered;
  }
  return delivered;
}

bool DeliverFrame(int index, uint64_t stamp) {
  SimCamera* camera = CameraOrNull(index);
  if (camera == nullptr || !camera->settings.manual) return false;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    if (!camera->previewing) return false;
  }
  return ProduceFrame(*camera, camera->next_manual_frame++, stamp);
}

int DeliverClockedFrames(int ticks, const std::function<void()>& after_each) {
  struct Arrival {
    int64_t at_us;
    int camera;
    uint64_t frame;
    uint64_t stamp;
  };
  std::vector<Arrival> arrivals;
  std::vector<SimCamera*> cameras;
  for (int index = 0; index < kCameraCount; ++index) {
    SimCamera* camera = CameraOrNull(index);
    if (camera == nullptr || !camera->settings.manual) continue;
    {
      std::lock_guard<std::mutex> lock(State().mutex);
      if (!camera->previewing) continue;
    }
    cameras.push_back(camera);
    const uint64_t period_us = 1000000ull / static_cast<uint64_t>(camera->settings.frame_rate);
    for (int tick = 0; tick < ticks; ++tick) {
      const uint64_t frame = camera->next_manual_frame + static_cast<uint64_t>(tick);
      const uint64_t stamp = StampFor(*camera, frame * period_us);
      // A frame arrives when it was taken: its stamp, less a stamp offset that is only a label.
      const int64_t skew = index == 1 ? camera->settings.stamp_skew_us : 0;
      arrivals.push_back({static_cast<int64_t>(stamp) - skew, index, frame, stamp});
    }
  }
  std::stable_sort(arrivals.begin(), arrivals.end(),
                   [](const Arrival& a, const Arrival& b) { return a.at_us < b.at_us; });
  int delivered = 0;
  for (const Arrival& arrival : arrivals) {
    SimCamera* camera = CameraOrNull(arrival.camera);
    if (camera == nullptr) continue;
    if (ProduceFrame(*camera, arrival.frame, arrival.stamp)) ++delivered;
    if (after_each) after_each();
  }
  for (SimCamera* camera : cameras) camera->next_manual_frame += static_cast<uint64_t>(ticks);
  return delivered;
}

int AppliedGain(int index) {
  SimCamera* camera = CameraOrNull(index);
  if (camera == nullptr) return 0;
  std::lock_guard<std::mutex> sensor(camera->sensor_mutex);
  return camera->applied_gain;
}

int AppliedTime(int index) {
  SimCamera* camera = CameraOrNull(index);
  if (camera == nullptr) return 0;
  std::lock_guard<std::mutex> sensor(camera->sensor_mutex);
  return camera->applied_time;
}

uint64_t FramesDelivered(int index) {
  SimCamera* camera = CameraOrNull(index);
  return camera == nullptr ? 0 : camera->delivered.load();
}

bool IsOpen(int index) { return CameraOrNull(index) != nullptr; }

std::vector<float> SceneDisparity(uint64_t frame, int frame_rate) {
  namespace sm = board::sim_module;
  SimState& state = State();
  std::call_once(state.scene_once, [&state] { state.scene = std::make_unique<PassageScene>(ModuleGeometry()); });
  const cv::Mat parallax = state.scene->LeftParallax(static_cast<double>(frame) / frame_rate);
  // Grey pixel (row, column) samples raw (x, y) = (GreyRawX(row), LeftGreyRawY(column)); raw rows of
  // parallax become depth-image disparity at the module's scale, less its disparity shift.
  std::vector<float> disparity(static_cast<size_t>(sm::kDepthHeight) * sm::kDepthWidth);
  for (int row = 0; row < sm::kDepthHeight; ++row)
    for (int column = 0; column < sm::kDepthWidth; ++column)
      disparity[static_cast<size_t>(row) * sm::kDepthWidth + column] =
          parallax.at<float>(sm::LeftGreyRawY(column), sm::GreyRawX(row)) / sm::kDepthScale - sm::kDisparityShift;
  return disparity;
}

void HoldCommands() {
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.hold_commands = true;
}

void WaitUntilCommandHeld() {
  SimState& state = State();
  std::unique_lock<std::mutex> lock(state.mutex);
  state.gate_changed.wait(lock, [&state] { return state.commands_waiting > 0; });
}

void ReleaseCommands() {
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.hold_commands = false;
  state.gate_changed.notify_all();
}


}  // namespace simcam
