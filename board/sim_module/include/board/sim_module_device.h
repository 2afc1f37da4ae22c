// The video device on the simulated sensor module, for its tests and tools: a board root with the
// module's calibration file, and the parameter set that goes with it.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "video_device_parameters.h"

// Board path of the calibration file in the laid-out root.
constexpr const char* kSimCalibrationBoardPath = "/system/etc/sim_module_calibration.yml";

// A fresh board root laid out by the board's script; BOARD_ROOT points at it while it lives.
class SimDeviceRoot {
 public:
  SimDeviceRoot() {
    char pattern[] = "/tmp/video-device-root-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    root_ = pattern;
    const std::string command = std::string(MAKE_ROOT_SCRIPT) + " " + root_ + " " + SIM_MODULE_DATA_DIR +
                                "/sim_module_calibration.yml=" + kSimCalibrationBoardPath;
    ok_ = std::system(command.c_str()) == 0;
    setenv("BOARD_ROOT", root_.c_str(), 1);
  }
  ~SimDeviceRoot() {
    unsetenv("BOARD_ROOT");
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  SimDeviceRoot(const SimDeviceRoot&) = delete;
  SimDeviceRoot& operator=(const SimDeviceRoot&) = delete;

  bool ok() const { return ok_; }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
  bool ok_ = false;
};

// Parameters of the simulated sensor module: 32 disparities, census radius 2, four paths.
inline tagVideoDeviceParameterSet SimModuleParameterSet() {
  tagVideoDeviceParameterSet set;
  memset(&set, 0, sizeof(set));
  set.image_width = 640;
  set.image_height = 480;
  set.image_frame_rate = 20;
  strncpy(set.calibration_file_name, kSimCalibrationBoardPath, sizeof(set.calibration_file_name) - 1);
  set.calibrate_color_image = 1;
  set.disparity_min = 0;
  set.disparity_max = 32;
  set.window_scale = 2;
  set.sgm_penalty1 = 10;
  set.sgm_penalty2 = 60;
  set.ddr_threshold = 200;
  set.ddr_disparity_range = 16;
  set.path_number = 4;
  set.thread_number = 4;
  return set;
}
