// Test fakes of the capture library and the matcher: constant frame pairs, recorded calls, and a
// grey table rebuilt under a lock, so that the device's use of the libraries can be checked.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

struct PipelineFakes {
  static PipelineFakes& Get();
  void Reset();

  // Settings read by the fakes.
  int depth_width = 320;
  int depth_height = 240;
  int calibration_result = 0;
  int cam_init_result = 0;
  int err_match = 50;
  bool exposure_ok = true;
  unsigned char left_level = 0x11;   // every byte of a left camera frame
  unsigned char right_level = 0x22;  // every byte of a right camera frame
  unsigned char disparity_level = 9;
  double max_grey_offset = 100.0;  // larger offsets make the grey rebuild fail

  // What the device did (guarded by mutex).
  std::mutex mutex;
  std::vector<std::string> events;     // "cam_init", "cam_stop", "exposure_uninit", ...
  std::vector<float> grey_offsets;     // every grey-table rebuild
  int matcher_interval_sampling = -1;  // as the matcher record carried it
  std::atomic<int> unsafe_uses{0};     // remaps without tables, frames after the cameras closed
  std::atomic<bool> cameras_open{false};

  void Event(const std::string& name);
  std::vector<std::string> Events();
};
