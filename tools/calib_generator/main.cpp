// Writes the simulated sensor module's calibration parameter file and its calibration file.
#include <cstdio>
#include <string>

#include "sim_module_calibration.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>   (board/sim_module/data for the committed files)\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const std::string parameters = folder + "/" + sim_module_calibration::kParameterFileName;
  const std::string calibration = folder + "/" + sim_module_calibration::kCalibrationFileName;
  const int result = sim_module_calibration::WriteCalibrationFiles(parameters, calibration);
  if (result != 0) {
    std::fprintf(stderr, "calibration generation failed with result %d\n", result);
    return 1;
  }
  std::fprintf(stderr, "wrote %s and %s\n", parameters.c_str(), calibration.c_str());
  return 0;
}
