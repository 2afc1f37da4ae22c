// Camera access: opens the stereo module's two sensors through the camera HAL, starts and stops
// their previews, and reads and sets gain and integration time through vendor commands.
#include "cam_hal.h"

#include <mutex>

#include "capture_log.h"

extern "C" {
camera_info cam_info;
}

namespace {

constexpr const char* kSource = "source/cam_hal";
constexpr int kFailed = -1;
constexpr int kLeft = 0;
constexpr int kRight = 1;
constexpr int kCameras = 2;
constexpr const char* kCameraIds[kCameras] = {"0", "1"};

const camera_module_t* s_module = nullptr;
camera_device* s_cam[kCameras] = {nullptr, nullptr};
// One lock over the handles and every exchange with the cameras, so the cameras cannot be closed
// while the exposure thread is still in the middle of a command.
std::mutex s_cam_hal_mutex;

int Send(camera_device* camera, int32_t command, int32_t arg) {
  return camera->ops->send_command(camera, command, arg, 0);
}

// One read exchange with camera 0: the opening command, each read in order, the closing command.
// A negative answer is the sensor's failure, never a value: nothing is stored then.
int ReadCameraZero(const char* function, std::initializer_list<int32_t> commands, std::initializer_list<int*> outs) {
  for (int* out : outs) {
    if (out == nullptr || s_cam[kLeft] == nullptr) {
      CAPTURE_LOG_IN(kSource, function, "ERROR NULL arguments or cam device\n");
      return kFailed;
    }
  }
  camera_device* camera = s_cam[kLeft];
  Send(camera, kCameraCommandBegin, 0);
  int answers[4] = {0, 0, 0, 0};
  int count = 0;
  bool all_valid = true;
  for (int32_t command : commands) {
    answers[count] = Send(camera, command, 0);
    all_valid = all_valid && answers[count] >= 0;
    ++count;
  }
  Send(camera, kCameraCommandEnd, 0);
  if (!all_valid) {
    CAPTURE_LOG_IN(kSource, function, "ERROR negative value read from cam 0\n");
    return kFailed;
  }
  count = 0;
  for (int* out : outs) *out = answers[count++];
  return 0;
}

// One set exchange with both cameras, camera 0 first; returns camera 1's answer to the set.
int SetBoth(const char* function, int32_t command, int32_t value) {
  if (s_cam[kLeft] == nullptr || s_cam[kRight] == nullptr) {
    CAPTURE_LOG_IN(kSource, function, "ERROR NULL arguments or cam device\n");
    return kFailed;
  }
  Send(s_cam[kLeft], kCameraCommandBegin, 0);
  Send(s_cam[kLeft], command, value);
  Send(s_cam[kLeft], kCameraCommandEnd, value);
  Send(s_cam[kRight], kCameraCommandBegin, value);
  const int result = Send(s_cam[kRight], command, value);
  Send(s_cam[kRight], kCameraCommandEnd, value);
  return result;
}

// Switches the sensors' own automatic exposure, camera 0 then camera 1.
int SwitchAec(const char* function, int32_t command) {
  if (s_cam[kLeft] == nullptr || s_cam[kRight] == nullptr) {
    CAPTURE_LOG_IN(kSource, function, "ERROR NULL arguments or cam device\n");
    return kFailed;
  }
  int result = 0;
  for (camera_device* camera : s_cam) {
    Send(camera, kCameraCommandBegin, 0);
    result = Send(camera, command, 0);
    Send(camera, kCameraCommandEnd, 0);
  }
  return result;
}

void CloseCameraLocked(int index) {
  camera_device* camera = s_cam[index];
  if (camera == nullptr) return;
  camera->ops->release(camera);
  camera->common.close(&camera->common);
  s_cam[index] = nullptr;
}

int OpenCameraLocked(int index) {
  hw_device_t* device = nullptr;
  const int result = s_module->common.methods->open(&s_module->common, kCameraIds[index], &device);
  if (result < 0) return result;
  if (device == nullptr) return kFailed;
  s_cam[index] = reinterpret_cast<camera_device*>(device);
  return 0;
}

int ConfigureCameraLocked(int index, void* callback) {
  camera_device* camera = s_cam[index];
  const int result = camera->ops->set_parameters(camera, kCamHalParameters);
  if (result < 0) {
    CAPTURE_LOG_IN(kSource, "cam_hal_init", "ERROR fail to set parameters for cam %d\n", index);
    return result;
  }
  camera->ops->set_callbacks(camera, nullptr, nullptr, nullptr, nullptr, callback);
  return 0;
}

}  // namespace

extern "C" int cam_hal_init(void* left_callback, void* right_callback) {
  if (left_callback == nullptr || right_callback == nullptr) {
    CAPTURE_LOG_HERE("ERROR NULL cam context func\n");
    return kFailed;
  }
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  CAPTURE_LOG_HERE("INFO  start to get camera sensor\n\n");
  const hw_module_t* module = nullptr;
  if (hw_get_module(kCameraModuleId, &module) < 0 || module == nullptr) {
    CAPTURE_LOG_HERE("ERROR error to get camera module\n\n");
    return kFailed;
  }
  s_module = reinterpret_cast<const camera_module_t*>(module);
  const int count = s_module->get_number_of_cameras();
  CAPTURE_LOG_HERE("INFO  %d cameras are found\n\n", count);
  for (int i = 0; i < count; ++i) {
    const int result = s_module->get_camera_info(i, &cam_info);
    if (result < 0) {
      CAPTURE_LOG_HERE("ERROR cam_%d cam_info not found\n", i);
      return result;
    }
    CAPTURE_LOG_HERE("DEBUG cam_%d cam_info is found\n", i);
  }
  if (s_cam[kLeft] != nullptr && s_cam[kRight] != nullptr) {
    CAPTURE_LOG_HERE("DEBUG cameras already init\n");
    return 0;
  }
  int result = OpenCameraLocked(kLeft);
  if (result != 0) {
    CAPTURE_LOG_HERE("ERROR fail to open camera 0\n");
    return result;
  }
  result = OpenCameraLocked(kRight);
  if (result != 0) {
    CloseCameraLocked(kLeft);
    CAPTURE_LOG_HERE("ERROR fail to open camera 1\n\n");
    return result;
  }
  result = ConfigureCameraLocked(kLeft, left_callback);
  if (result == 0) result = ConfigureCameraLocked(kRight, right_callback);
  if (result != 0) {
    // Close both, so a later init starts from scratch instead of finding unconfigured cameras open.
    CloseCameraLocked(kLeft);
    CloseCameraLocked(kRight);
    return result;
  }
  return 0;
}

extern "C" int cam_hal_start_preview() {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  CAPTURE_LOG_HERE("DEBUG start preview on cam0 and cam1\n\n");
  for (int index = kLeft; index < kCameras; ++index) {
    if (s_cam[index] == nullptr) {
      CAPTURE_LOG_HERE("ERROR fail to start preview on camera %d\n", index);
      return kFailed;
    }
    const int result = s_cam[index]->ops->start_preview(s_cam[index]);
    if (result < 0) {
      CAPTURE_LOG_HERE("ERROR fail to start preview on camera %d\n", index);
      return result;
    }
  }
  return 0;
}

extern "C" void cam_hal_stop_preview() {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  CAPTURE_LOG_HERE("DEBUG stop preview on cam0 and cam1\n\n");
  for (camera_device* camera : s_cam)
    if (camera != nullptr) camera->ops->stop_preview(camera);
}

extern "C" void cam_hal_close() {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  CloseCameraLocked(kLeft);
  CloseCameraLocked(kRight);
}

extern "C" int cam_hal_get_gain_limit(int* min, int* max, int* step) {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  return ReadCameraZero(__func__, {kCameraCommandGainMin, kCameraCommandGainMax, kCameraCommandGainStep},
                        {min, max, step});
}

extern "C" int cam_hal_get_gain(int* gain) {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  return ReadCameraZero(__func__, {kCameraCommandGetGain}, {gain});
}

extern "C" int cam_hal_set_gain(int gain) {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  return SetBoth(__func__, kCameraCommandSetGain, gain);
}

extern "C" int cam_hal_get_integration_time_limit(int* min, int* max, int* step) {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  return ReadCameraZero(__func__, {kCameraCommandTimeMin, kCameraCommandTimeMax, kCameraCommandTimeStep},
                        {min, max, step});
}

extern "C" int cam_hal_get_integration_time(int* time) {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  return ReadCameraZero(__func__, {kCameraCommandGetTime}, {time});
}

extern "C" int cam_hal_set_integration_time(int time) {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  return SetBoth(__func__, kCameraCommandSetTime, time);
}

extern "C" int cam_hal_aec_start() {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  return SwitchAec(__func__, kCameraCommandAecOn);
}

extern "C" int cam_hal_aec_stop() {
  std::lock_guard<std::mutex> lock(s_cam_hal_mutex);
  return SwitchAec(__func__, kCameraCommandAecOff);
}
