// The disparity image as a picture people read: colourised levels with a labelled scale bar.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

namespace camera_client {

// The camera's disparity search range (levels 0..64): the top of the picture's scale.
constexpr int kDisparityRange = 64;

// Colourises an 8-bit disparity image (levels 0..kDisparityRange, higher clipped) and puts a
// scale bar with level labels below it.
cv::Mat DisparityPicture(const cv::Mat& disparity);

}  // namespace camera_client
