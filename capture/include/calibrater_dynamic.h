// Dynamic calibration: a calibration file generated from the stereo camera model by rectification.
#pragma once

#include <opencv2/core.hpp>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

// The generated calibration file, a board path.
constexpr const char* kDynamicCalibrationPath = "/system/etc/axis_dynamic.yml";

extern "C" {

// Generates the calibration file at the mapped kDynamicCalibrationPath from the parameter file,
// then loads it with CalibraterImageInit(…, offset). The two unnamed values are not used.
int CalibraterImageDynamicInit(const char* parameter_path, float offset, int, int, int shift, int focal_length,
                               double stretch, int horizontal_translation, int vertical_translation);

// Writes a calibration file at output_path from the parameter file: 0, 2 (a file not readable),
// 6 (sensor type a), 8 (bad type letter or bad matrices).
int GenerateDynamicCalibrationFile(const char* parameter_path, const char* output_path, int, int, int shift,
                                   int focal_length, double stretch, int horizontal_translation,
                                   int vertical_translation);

// Computes and writes the four maps of one resolution: 0, 6 for type a, 8 for matrices that do
// not describe a camera pair.
int StereoRectify(cv::FileStorage* output, int image_width, int image_height, int zuq_type, int shift,
                  int focal_length, double stretch, int horizontal_translation, int vertical_translation,
                  cv::Mat left_intrinsic, cv::Mat left_discoeffs, cv::Mat right_intrinsic, cv::Mat right_discoeffs,
                  cv::Mat rotation, cv::Mat transformation);

// dst = src transposed, then rows reversed (flipped about the horizontal axis).
void opencv_rotate_clockwise_90(const cv::Mat& src, cv::Mat& dst);
// dst = src transposed, then columns reversed.
void opencv_rotate_counterclockwise_90(const cv::Mat& src, cv::Mat& dst);

}  // extern "C"

LIBRARY_EXPORTS_END
