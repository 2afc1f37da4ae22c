// The simulated sensor module's board root, parameter set and exposure preset.
#include "test_support/sim_device.h"

#include <cstdlib>
#include <cstring>

#include "test_support/board_root.h"

SimDeviceRoot::SimDeviceRoot() {
  if (folder_.path().empty()) return;
  ok_ = test_support::LayOutBoardRoot(
      folder_.path(), {std::string(SIM_MODULE_DATA_DIR) + "/sim_module_calibration.yml=" + kSimCalibrationBoardPath});
  setenv("BOARD_ROOT", folder_.path().c_str(), 1);
}

SimDeviceRoot::~SimDeviceRoot() { unsetenv("BOARD_ROOT"); }

tagVideoDeviceParameterSet SimModuleParameterSet() {
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

tagCamExposureConfiguration SimModuleExposure() {
  tagCamExposureConfiguration config{};
  config.frame_rate = 20;
  config.exposure_time = 1000;
  config.exposure_level_count = 100;
  config.image_black_warning_percent = 50.0;
  config.image_white_warning_percent = 50.0;
  config.image_out_of_service_sec = 2;
  config.image_black_percentage_k = 1.0;
  config.image_kp = 1.0;
  config.image_ki = 0.1;
  return config;
}
