// Calibration files of the simulated sensor module, made from its two-camera model.
#pragma once

#include <string>

namespace sim_module_calibration {

// File names of the committed files under board/sim_module/data/.
constexpr const char* kParameterFileName = "sim_module_parameters.yml";
constexpr const char* kCalibrationFileName = "sim_module_calibration.yml";

// Writes the calibration parameter file (camera model) of the module. False on failure.
bool WriteParameterFile(const std::string& path);

// Writes the parameter file, then runs the dynamic calibration on it into calibration_path with
// the module's adjustable values. Returns the dynamic calibration's result (0 done).
int WriteCalibrationFiles(const std::string& parameter_path, const std::string& calibration_path);

}  // namespace sim_module_calibration
