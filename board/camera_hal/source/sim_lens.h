// Where the simulated cameras' raw pixels look: the module's lenses and the rotation between the
// cameras, so that frames need the calibration's rectification as a real module's do.
#pragma once

#include <opencv2/core.hpp>

namespace simcam {

// For every raw pixel of one camera, the point of the rectified view it shows: x and y maps as
// cv::remap takes them (float maps, or OpenCV's fixed-point pair), one entry per raw pixel.
struct LensWarp {
  cv::Mat rectified_x;
  cv::Mat rectified_y;
};

// Builds the warp of camera 0 or 1 from the simulated module's model, rectified as the dynamic
// calibration rectifies it (both views at the rectified focal length and principal point).
LensWarp BuildLensWarp(int camera);

// A raw frame of `rectified`'s content as the camera's lens shows it (any channel count).
void ThroughLens(const LensWarp& warp, const cv::Mat& rectified, cv::Mat* raw);

}  // namespace simcam
