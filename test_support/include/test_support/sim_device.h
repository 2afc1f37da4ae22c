// The video device on the simulated sensor module, as tests and tools set it up: a board root with
// the module's calibration file, the device's parameter set and the exposure preset it runs with.
#pragma once

#include <string>

#include "cam_auto_exposure.h"
#include "test_support/temp_folder.h"
#include "video_device_parameters.h"

// Board path of the calibration file in the laid-out root.
constexpr const char* kSimCalibrationBoardPath = "/system/etc/sim_module_calibration.yml";

// A fresh board root laid out by the board's script; BOARD_ROOT points at it while it lives.
class SimDeviceRoot {
 public:
  SimDeviceRoot();
  ~SimDeviceRoot();
  SimDeviceRoot(const SimDeviceRoot&) = delete;
  SimDeviceRoot& operator=(const SimDeviceRoot&) = delete;

  bool ok() const { return ok_; }
  const std::string& root() const { return folder_.path(); }

 private:
  test_support::TempFolder folder_{"video-device-root"};
  bool ok_ = false;
};

// Parameters of the simulated sensor module: 32 disparities, census radius 2, four paths.
tagVideoDeviceParameterSet SimModuleParameterSet();

// The exposure the simulated device runs with: 20 frames per second, 100 levels from 1000,
// warnings at half the image black or white, 2 s out of service, a gentle controller.
tagCamExposureConfiguration SimModuleExposure();
