// Frame times of the matcher and of OpenCV's SGBM_3WAY on a real pair, at the camera's rhythm and back to back.
#pragma once

#include <string>

// For each case: one frame every 50 ms with the threads idle in between, as the camera runs them, then back to
// back; the matcher and SGBM_3WAY in the same run on the same images, the load average beside. Prints a clear
// message and nothing else when the scene folder cannot be read.
void run_camera_rhythm(const std::string& scene_folder);
