// Test stand-in for the paired capture: both cameras of the simulated sensor module watching a
// textured background at one disparity with a box in front of it at a larger one.
#pragma once

#include <sys/time.h>

namespace scene_camera {

constexpr int kBackgroundDisparity = 8;
constexpr int kBoxDisparity = 20;
// The box in depth-image coordinates (rows and columns of the left grey image).
constexpr int kBoxTop = 100, kBoxBottom = 220, kBoxLeft = 90, kBoxRight = 170;

// Ground-truth disparity of left grey pixel (row, column).
inline int TrueDisparity(int row, int column) {
  const bool in_box = row >= kBoxTop && row < kBoxBottom && column >= kBoxLeft && column < kBoxRight;
  return in_box ? kBoxDisparity : kBackgroundDisparity;
}

// The raw luminance both cameras deliver at raw pixel (x, y), for the left or the right camera.
unsigned char RawLuminance(bool right_camera, int x, int y);

// Paces the pairs on a frame clock of this period; 0 (the default) hands one out at every ask.
void SetFramePeriodMicroseconds(long period);
// Time of day at which the n-th pair handed out (1 for the first) was captured.
timeval CaptureTime(unsigned long pair);

}  // namespace scene_camera
