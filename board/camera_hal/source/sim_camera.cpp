// The simulated stereo sensor pair behind the camera HAL: devices, the shared frame clock, one
// producer thread per camera, the exposure model, vendor commands, fault switches and call logs.
#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "board/sim_camera.h"
#include "hardware/camera_hal.h"
#include "sim_scene.h"

namespace simcam {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBufferCount = 2;            // frames alternate between two buffers per camera
constexpr uint8_t kNeutralChroma = 128;     // VU value of the grey passage scene
constexpr auto kStatisticsInterval = std::chrono::seconds(1);
constexpr uint64_t kMaxBacklogFrames = 20;  // frames a late camera may deliver late, not drop
constexpr int kFailure = -EINVAL;
constexpr int kNoDevice = -ENODEV;

struct SimCamera {
  camera_device device{};  // first member: a camera_device* is a SimCamera*
  int index = 0;
  Settings settings;
  camera_preview_frame_function frame_function = nullptr;
  std::thread producer;
  bool previewing = false;  // guarded by the global mutex
  bool stopping = false;    // guarded by the global mutex
  uint64_t next_manual_frame = 0;

  std::mutex sensor_mutex;  // gain and time as set, and as applied to frames
  int gain = 0;
  int time = 0;
  int applied_gain = 0;
  int applied_time = 0;
  bool sensor_auto_exposure = true;

  std::mutex frame_mutex;  // one frame at a time: buffers, jitter source, counters
  cv::Mat y_buffers[kBufferCount];
  cv::Mat vu_buffers[kBufferCount];
  int next_buffer = 0;
  std::mt19937 jitter;
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> skipped{0};
};

struct SimState {
  std::mutex mutex;
  std::condition_variable wake;  // stops the producers' waits
  bool configured = false;
  Settings settings;
  SimCamera* cameras[kCameraCount] = {nullptr, nullptr};
  std::vector<CallRecord> logs[kCameraCount];
  // Shared frame clock: frame k of every camera is due at clock_start + k * period.
  bool clock_running = false;
  Clock::time_point clock_start;
  Clock::time_point next_statistics;
  // Command gate.
  std::condition_variable gate_changed;
  bool hold_commands = false;
  int commands_waiting = 0;
  // Content shared by the cameras, made once.
  std::once_flag scene_once;
  std::unique_ptr<PassageScene> scene;
  std::vector<FileFrame> file_frames[kCameraCount];  // each written only while its camera is stopped
};

SimState& State() {
  static SimState* state = new SimState();  // outlives every producer thread
  return *state;
}

void Record(int camera, CallRecord record) {
  if (camera < 0 || camera >= kCameraCount) return;
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.logs[camera].push_back(std::move(record));
}

CallRecord Call(const char* name, int32_t command = 0, int32_t arg1 = 0, int32_t arg2 = 0, std::string text = {}) {
  CallRecord record;
  record.call = name;
  record.command = command;
  record.arg1 = arg1;
  record.arg2 = arg2;
  record.text = std::move(text);
  return record;
}

SimCamera* FromDevice(camera_device* device) { return reinterpret_cast<SimCamera*>(device); }

double BrightnessAt(const Settings& settings, uint64_t frame) {
  double brightness = 1.0;
  for (const BrightnessStep& step : settings.brightness_schedule)
    if (frame >= step.from_frame) brightness = step.brightness;
  return brightness;
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

// Renders frame `frame` of a camera with the exposure currently applied, hands it to the frame
// function, then takes on the gain and time set meanwhile: a new setting shows one frame late.
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
  }
  factor *= BrightnessAt(settings, frame);

  const int b = camera.next_buffer;
  camera.next_buffer = (b + 1) % kBufferCount;
  cv::Mat& y = camera.y_buffers[b];
  cv::Mat& vu = camera.vu_buffers[b];
  cv::Mat reflectance;
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
    state.scene->Render(camera.index, static_cast<double>(frame) / settings.frame_rate, &reflectance);
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
  {
    std::lock_guard<std::mutex> sensor(camera.sensor_mutex);
    camera.applied_gain = camera.gain;
    camera.applied_time = camera.time;
  }
  if (settings.statistics) PrintStatisticsIfDue();
  return true;
}

uint64_t StampFor(SimCamera& camera, uint64_t base_us) {
  int64_t stamp = static_cast<int64_t>(base_us);
  if (camera.index == 1) stamp += camera.settings.stamp_skew_us;
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
  std::unique_lock<std::mutex> lock(state.mutex);
  uint64_t frame = static_cast<uint64_t>((Clock::now() - state.clock_start) / period) + 1;
  if (Clock::now() <= state.clock_start) frame = 0;
  while (!camera->stopping) {
    // A camera that fell behind the clock (a loaded machine) catches up frame by frame, so both
    // cameras keep delivering the same ticks; only a backlog beyond a bound is dropped.
    const uint64_t current = static_cast<uint64_t>(std::max<int64_t>(0, (Clock::now() - state.clock_start) / period));
    if (current > frame + kMaxBacklogFrames) {
      camera->skipped += current - frame;
      frame = current;
    }
    const Clock::time_point due = state.clock_start + period * frame;
    if (state.wake.wait_until(lock, due, [camera] { return camera->stopping; })) break;
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

// --- device operations ---

// Makes the content a camera shows ready before its first frame: the scene once, files per start.
void PrepareContent(SimCamera* camera) {
  SimState& state = State();
  if (camera->settings.content == "files") {
    const auto& paths = camera->index == 0 ? camera->settings.left_files : camera->settings.right_files;
    std::string error;
    if (!LoadFileFrames(paths, kFrameWidth, kFrameHeight, &state.file_frames[camera->index], &error)) {
      std::fprintf(stderr, "sim_camera: %s\n", error.c_str());
      state.file_frames[camera->index].clear();
    }
  } else {
    std::call_once(state.scene_once, [&state] { state.scene = std::make_unique<PassageScene>(ModuleGeometry()); });
  }
}

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

SimCamera* CameraOrNull(int index) {
  if (index < 0 || index >= kCameraCount) return nullptr;
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.cameras[index];
}

}  // namespace

// --- control of the simulation ---

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
