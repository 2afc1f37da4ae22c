// The camera HAL's module and device operations over the simulated cameras, and hw_get_module.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim_state.h"

namespace simcam {
namespace {

SimCamera* FromDevice(camera_device* device) { return reinterpret_cast<SimCamera*>(device); }

int SetParameters(camera_device* device, const char* parameters) {
  SimCamera* camera = FromDevice(device);
  Record(camera->index, Call("set_parameters", 0, 0, 0, parameters != nullptr ? parameters : ""));
  if (parameters == nullptr || camera->index == camera->settings.fail_parameters_camera) return kFailure;
  // The sensor delivers 640 x 480 NV21 only; refuse any other preview size or format.
  const std::string text = std::string(";") + parameters + ";";
  if (text.find(";preview-size=640x480;") == std::string::npos ||
      text.find(";preview-format=yuv420sp;") == std::string::npos)
    return kFailure;
  return 0;
}

void SetCallbacks(camera_device* device, camera_notify_callback, camera_data_callback, camera_data_timestamp_callback,
                  camera_request_memory, void* user) {
  SimCamera* camera = FromDevice(device);
  Record(camera->index, Call("set_callbacks"));
  std::lock_guard<std::mutex> lock(camera->frame_mutex);
  camera->frame_function = reinterpret_cast<camera_preview_frame_function>(user);
}

int StartPreview(camera_device* device) {
  SimCamera* camera = FromDevice(device);
  Record(camera->index, Call("start_preview"));
  if (camera->index == camera->settings.fail_start_camera) return kFailure;
  SimState& state = State();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (camera->previewing) return 0;
  }
  PrepareContent(camera);
  std::lock_guard<std::mutex> lock(state.mutex);
  camera->previewing = true;
  camera->stopping = false;
  if (!state.clock_running) {
    state.clock_running = true;
    state.clock_start = Clock::now();
    state.next_statistics = state.clock_start + kStatisticsInterval;
  }
  if (!camera->settings.manual) camera->producer = std::thread(ProducerLoop, camera);
  return 0;
}

void StopPreviewOp(camera_device* device) {
  SimCamera* camera = FromDevice(device);
  Record(camera->index, Call("stop_preview"));
  StopPreview(camera);
}

void Release(camera_device* device) {
  SimCamera* camera = FromDevice(device);
  Record(camera->index, Call("release"));
  StopPreview(camera);
}

// Waits while the command gate is held (tests use it to catch a caller inside a command).
void PassCommandGate() {
  SimState& state = State();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (!state.hold_commands) return;
  ++state.commands_waiting;
  state.gate_changed.notify_all();
  state.gate_changed.wait(lock, [&state] { return !state.hold_commands; });
  --state.commands_waiting;
}

int SendCommand(camera_device* device, int32_t command, int32_t arg1, int32_t arg2) {
  SimCamera* camera = FromDevice(device);
  Record(camera->index, Call("send_command", command, arg1, arg2));
  PassCommandGate();
  const Settings& s = camera->settings;
  const auto fixed = s.command_answers.find(command);
  if (fixed != s.command_answers.end()) return fixed->second;
  std::lock_guard<std::mutex> sensor(camera->sensor_mutex);
  switch (command) {
    case kCameraCommandBegin:
    case kCameraCommandEnd:
      return 0;
    case kCameraCommandGainMin: return s.gain_min;
    case kCameraCommandGainMax: return s.gain_max;
    case kCameraCommandGainStep: return s.gain_step;
    case kCameraCommandGetGain: return camera->gain;
    case kCameraCommandSetGain:
      camera->gain = std::min(std::max(arg1, s.gain_min), s.gain_max);
      return 0;
    case kCameraCommandTimeMin: return s.time_min;
    case kCameraCommandTimeMax: return s.time_max;
    case kCameraCommandTimeStep: return s.time_step;
    case kCameraCommandGetTime: return camera->time;
    case kCameraCommandSetTime:
      camera->time = std::min(std::max(arg1, s.time_min), s.time_max);
      return 0;
    case kCameraCommandAecOn:
      camera->sensor_auto_exposure = true;
      return 0;
    case kCameraCommandAecOff:
      camera->sensor_auto_exposure = false;
      return 0;
    default:
      return kFailure;
  }
}

int CloseDevice(hw_device_t* device) {
  SimCamera* camera = reinterpret_cast<SimCamera*>(device);
  Record(camera->index, Call("close"));
  StopPreview(camera);
  SimState& state = State();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.cameras[camera->index] == camera) state.cameras[camera->index] = nullptr;
  }
  delete camera;
  return 0;
}

camera_device_ops_t g_device_ops = {SetParameters, SetCallbacks, StartPreview, StopPreviewOp, Release, SendCommand};

// --- module operations ---

int OpenCamera(const hw_module_t* module, const char* id, hw_device_t** device);
hw_module_methods_t g_module_methods = {OpenCamera};

int NumberOfCameras() {
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.settings.reported_cameras;
}

int CameraInfo(int index, camera_info* info) {
  Record(index, Call("get_camera_info", 0, index, 0));
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (info == nullptr || index < 0 || index >= state.settings.reported_cameras ||
      index == state.settings.fail_info_camera)
    return kFailure;
  std::memset(info, 0, sizeof(*info));
  info->facing = 0;
  info->orientation = 0;
  info->device_version = 0x100;  // HAL version 1.0
  return 0;
}

camera_module_t g_module = {{kCameraModuleId, "simulated stereo sensor pair", &g_module_methods},
                            NumberOfCameras,
                            CameraInfo};

int OpenCamera(const hw_module_t* module, const char* id, hw_device_t** device) {
  if (device == nullptr || id == nullptr) return kFailure;
  *device = nullptr;
  const int index = (std::strcmp(id, "0") == 0) ? 0 : (std::strcmp(id, "1") == 0) ? 1 : kNoCamera;
  if (index == kNoCamera) return kNoDevice;
  Record(index, Call("open"));
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (index == state.settings.fail_open_camera) return kNoDevice;
  if (state.cameras[index] != nullptr) return -EBUSY;
  auto* camera = new SimCamera();
  camera->device.common.module = module;
  camera->device.common.close = CloseDevice;
  camera->device.ops = &g_device_ops;
  camera->device.priv = camera;
  camera->index = index;
  camera->settings = state.settings;
  camera->gain = camera->applied_gain = camera->settings.initial_gain;
  camera->time = camera->applied_time = camera->settings.initial_time;
  camera->jitter.seed(camera->settings.seed + static_cast<uint32_t>(index));
  for (int b = 0; b < kBufferCount; ++b) {
    camera->y_buffers[b] = cv::Mat::zeros(kFrameHeight, kFrameWidth, CV_8UC1);
    camera->vu_buffers[b] = cv::Mat::zeros(kFrameHeight / 2, kFrameWidth, CV_8UC1);
  }
  state.cameras[index] = camera;
  *device = &camera->device.common;
  return 0;
}

}  // namespace

// Reloads the settings file unless a test has configured the simulation itself.
void ReloadSettingsFromFile() {
  SimState& state = State();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.configured) return;
  }
  Settings settings;
  std::string error;
  if (!LoadSettings(SettingsPath(), &settings, &error)) {
    if (error.find("cannot open") == std::string::npos)
      std::fprintf(stderr, "sim_camera: %s; using defaults\n", error.c_str());
    settings = Settings();
  }
  std::lock_guard<std::mutex> lock(state.mutex);
  state.settings = settings;
}

}  // namespace simcam

extern "C" int hw_get_module(const char* id, const hw_module_t** module) {
  if (id == nullptr || module == nullptr) return -EINVAL;
  if (std::strcmp(id, kCameraModuleId) != 0) return -ENOENT;
  simcam::ReloadSettingsFromFile();
  *module = &simcam::g_module.common;
  return 0;
}

