// Shared set-up of the capture tests: a private board root, simulated camera settings, stdout capture.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "board/qelt_log_sink.h"
#include "board/sim_camera.h"
#include "cam_auto_exposure.h"
#include "test_support/temp_folder.h"

namespace capture_test {

// Every test runs in a process of its own under ctest, with its own board root, removed when the
// process ends.
inline std::filesystem::path MakeBoardRoot() {
  static std::vector<std::unique_ptr<test_support::TempFolder>> roots;
  roots.push_back(std::make_unique<test_support::TempFolder>("capture_test"));
  setenv("BOARD_ROOT", roots.back()->path().c_str(), 1);
  board::SetLogToStderr(false);
  return roots.back()->path();
}

// Settings of a quiet simulated camera pair delivering frames on demand.
inline simcam::Settings ManualSettings() {
  simcam::Settings settings;
  settings.manual = true;
  settings.statistics = false;
  return settings;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

inline size_t CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  size_t count = 0;
  for (const auto& line : lines) count += line.find(part) != std::string::npos;
  return count;
}

// Vendor commands one camera received, as (command, first argument) pairs.
inline std::vector<std::pair<int32_t, int32_t>> Commands(int camera) {
  std::vector<std::pair<int32_t, int32_t>> commands;
  for (const auto& call : simcam::CallLog(camera))
    if (call.call == "send_command") commands.emplace_back(call.command, call.arg1);
  return commands;
}

// The exposure configuration the tests run with (20 frames per second, 2 s out of service).
inline tagCamExposureConfiguration TestExposureConfig() {
  tagCamExposureConfiguration config{};
  config.frame_rate = 20;
  config.exposure_time = 1000;
  config.exposure_level_count = 10;
  config.image_black_warning_percent = 5.0;
  config.image_white_warning_percent = 5.0;
  config.image_out_of_service_sec = 2;
  config.image_black_percentage_k = 1.0;
  config.image_set_point = 0.0;
  config.image_kp = 1.0;
  config.image_ki = 0.002;
  config.image_kd = 0.0;
  return config;
}

}  // namespace capture_test
