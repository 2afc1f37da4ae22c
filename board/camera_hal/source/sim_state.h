// Inner state of the simulated cameras shared by their devices, producers and test controls.
#pragma once

#include <opencv2/core.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "board/sim_camera.h"
#include "hardware/camera_hal.h"
#include "sim_lens.h"
#include "sim_scene.h"

namespace simcam {

using Clock = std::chrono::steady_clock;
constexpr int kBufferCount = 2;            // frames alternate between two buffers per camera
constexpr uint8_t kNeutralChroma = 128;     // VU value of the grey passage scene
constexpr auto kStatisticsInterval = std::chrono::seconds(1);
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
  cv::Mat reflectance;  // the scene before exposure, kept to spare an allocation per frame
  cv::Mat rectified;    // the scene's rectified view before the lens, likewise
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
  std::once_flag lens_once;
  LensWarp lens[kCameraCount];  // where each camera's raw pixels look in the rectified view
  std::vector<FileFrame> file_frames[kCameraCount];  // each written only while its camera is stopped
};

// The one state of the simulation, alive for the whole process.
SimState& State();
// Appends one HAL call to a camera's log.
void Record(int camera, CallRecord record);
CallRecord Call(const char* name, int32_t command = 0, int32_t arg1 = 0, int32_t arg2 = 0, std::string text = {});
// The open camera of an index, or null.
SimCamera* CameraOrNull(int index);

// Frames: content made ready before a camera's first frame, one frame rendered and delivered,
// the stamp of a frame, a camera's producer thread, and stopping it.
void PrepareContent(SimCamera* camera);
bool ProduceFrame(SimCamera& camera, uint64_t frame, uint64_t stamp);
uint64_t StampFor(SimCamera& camera, uint64_t base_us);
void ProducerLoop(SimCamera* camera);
void StopPreview(SimCamera* camera);

// Settings from the file under the board root, unless a test configured the simulation itself.
void ReloadSettingsFromFile();

}  // namespace simcam
