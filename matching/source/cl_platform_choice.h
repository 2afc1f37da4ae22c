// Which OpenCL platforms supply the matcher's devices: a GPU when any selected platform has one, and among
// the candidates the platforms whose version string is the greatest (compared byte by byte, so
// "OpenCL 1.10" is below "OpenCL 1.2"); several platforms with that same string all contribute.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ClPlatformDescription {
  std::string version;  // the platform's version string
  bool has_gpu;         // whether it offers a device of the GPU type
};

struct ClPlatformChoice {
  std::string newest;                  // the greatest version string among the candidates ("OpenCL 0.0" for none)
  std::vector<std::size_t> platforms;  // indices of the chosen platforms, in order
  bool gpu;                            // true: take the chosen platforms' GPU devices, else their default devices
};

ClPlatformChoice cl_choose_platforms(const std::vector<ClPlatformDescription>& platforms);
