// The disparity image as a picture people read: colourised levels with a labelled scale bar.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

namespace camera_client {

// Highest level of the scale: the camera's disparity search range.
constexpr int kDisparityScaleTop = 64;

// Colourises an 8-bit disparity image (levels 0..kDisparityScaleTop, higher clipped) and puts a
// scale bar with level labels below it.
cv::Mat DisparityPicture(const cv::Mat& disparity);

}  // namespace camera_client
