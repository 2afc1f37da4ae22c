// Control of the simulated stereo sensor pair behind the camera HAL stand-in: its settings, frames
// on demand, fault switches and the per-camera log of HAL calls that tests read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace simcam {

constexpr int kCameraCount = 2;
constexpr int kFrameWidth = 640;
constexpr int kFrameHeight = 480;
constexpr int kNoCamera = -1;

// Scene brightness from a frame index on (a schedule of such steps; the last one reached holds).
struct BrightnessStep {
  uint64_t from_frame;
  double brightness;
};

// Light on the scene at a time in seconds (a point of the lighting schedule).
struct LightingPoint {
  double seconds;
  double level;
};

struct Settings {
  int frame_rate = 20;             // frames per second of the shared frame clock
  int reported_cameras = 2;        // what get_number_of_cameras answers
  bool manual = false;             // no threads: frames only when DeliverFrames/DeliverFrame asks
  std::string content = "scene";   // "scene" (the built-in passage) or "files"
  std::vector<std::string> left_files;   // content "files": images of camera 0, one per frame, cycled
  std::vector<std::string> right_files;  // and of camera 1
  int64_t stamp_skew_us = 0;       // added to every stamp of camera 1
  int delay_camera = kNoCamera;    // captures and delivers every frame delay_us after the clock's tick
  int64_t delay_us = 0;            // (its stamps show the delay)
  int64_t stamp_jitter_us = 0;     // every stamp moves by a random amount up to this, either way
  uint32_t seed = 1;               // of the jitter
  int silent_camera = kNoCamera;   // never delivers a frame
  int drop_camera = kNoCamera;     // skips every drop_every-th frame
  int drop_every = 0;
  int stall_camera = kNoCamera;    // stops delivering after stall_after frames
  uint64_t stall_after = 0;
  bool statistics = true;          // the once-a-second statistics line on standard error
  // Sensor limits and start values, in the sensor's units (gain in millionths, time in lines).
  int gain_min = 1000000;
  int gain_max = 16000000;
  int gain_step = 1;
  int time_min = 100;
  int time_max = 1000000;
  int time_step = 1;
  int initial_gain = 1000000;
  int initial_time = 1000;
  // Exposure value (log2 of gain x time over their minimums) at which a scene of brightness 1
  // shows its own reflectance.
  double reference_ev = 8.0;
  std::vector<BrightnessStep> brightness_schedule{{0, 1.0}};
  // Light on the scene over the scene's time: points joined by straight lines (a lamp switched is
  // two points close together, daylight a slow ramp), repeated from the start after the last one.
  // Empty: level 1 throughout. Multiplies the brightness schedule.
  std::vector<LightingPoint> lighting;
  // Fault switches of the HAL calls themselves.
  int fail_open_camera = kNoCamera;
  int fail_parameters_camera = kNoCamera;
  int fail_start_camera = kNoCamera;
  int fail_info_camera = kNoCamera;
  std::map<int32_t, int32_t> command_answers;  // vendor reads answered with a fixed value
};

// The settings file under the board root, and reading it (missing keys keep their defaults).
std::string SettingsPath();
bool LoadSettings(const std::string& path, Settings* settings, std::string* error);
// Replaces the settings that later opens use (otherwise they come from SettingsPath()).
void Configure(const Settings& settings);

// One HAL call as the simulated camera saw it.
struct CallRecord {
  std::string call;  // "open", "set_parameters", "set_callbacks", "start_preview", "stop_preview",
                     // "release", "close", "get_camera_info", "send_command"
  int32_t command = 0;
  int32_t arg1 = 0;
  int32_t arg2 = 0;
  std::string text;  // the parameter text of set_parameters
};
// The calls of one camera, oldest first; past kCallLogLimit calls the older half is dropped.
constexpr size_t kCallLogLimit = 16384;
std::vector<CallRecord> CallLog(int camera);
void ClearCallLogs();

// Manual mode: every previewing camera (faults applied) delivers its next frame on the caller's
// thread; returns the number of frames delivered.
int DeliverFrames();
// Manual mode: one frame of one camera with a chosen stamp; false when it is not previewing.
bool DeliverFrame(int camera, uint64_t stamp);
// Manual mode: the next `ticks` ticks of the shared frame clock. Every previewing camera's frames
// are delivered in the order they would arrive (a delayed camera's frame after the other camera's,
// past the next tick when the delay exceeds a frame period; jitter moves arrivals with the stamps),
// and `after_each` runs after every frame, as a consumer that looks at once. Returns the frames
// delivered.
int DeliverClockedFrames(int ticks, const std::function<void()>& after_each);

// Gain and time the sensor currently applies to its frames.
int AppliedGain(int camera);
int AppliedTime(int camera);
uint64_t FramesDelivered(int camera);
bool IsOpen(int camera);

// Level of the lighting schedule at a time in seconds of the scene.
double LightingLevel(const std::vector<LightingPoint>& lighting, double seconds);

// Ground truth of the built-in passage scene at frame `frame` of a frame_rate clock: the disparity
// of every pixel of the rectified depth-size left grey image, row-major (the module's depth height
// rows of its depth width columns), from the same scene description the frames are rendered from.
std::vector<float> SceneDisparity(uint64_t frame, int frame_rate);

// Command gate: while held, send_command blocks; WaitUntilCommandHeld blocks until a call waits.
void HoldCommands();
void WaitUntilCommandHeld();
void ReleaseCommands();

}  // namespace simcam
