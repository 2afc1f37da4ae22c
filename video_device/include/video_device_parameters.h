// The video device parameter set, filled by the service from its "stream_center" keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

constexpr size_t kCalibrationPathSize = 4096;
constexpr size_t kParameterSetReservedBytes = 32;

struct tagVideoDeviceParameterSet {
  int32_t image_width;   // in: configured width; Init writes the depth image width here
  int32_t image_height;  // in: configured height; Init writes the depth image height here
  int32_t image_frame_rate;
  char calibration_file_name[kCalibrationPathSize];
  char dynamic_calibration_file_name[kCalibrationPathSize];
  uint8_t dynamic_calibration_enable;
  int32_t dynamic_disparity_shift;
  int32_t dynamic_focal_length;
  double dynamic_stretch_factor;
  int32_t dynamic_horizontal_translation;
  int32_t dynamic_vertical_translation;
  int32_t calibrate_color_image;  // non-zero: remap the colour image; 0: only convert it
  int32_t disparity_min;
  int32_t disparity_max;
  int64_t window_scale;
  uint16_t sgm_penalty1;
  uint16_t sgm_penalty2;
  uint16_t ddr_threshold;
  int64_t ddr_disparity_range;
  int64_t path_number;
  int64_t thread_number;
  bool opencl_enable;
  bool swap_camera;                 // the camera delivered as "right" is the main (left) one
  int32_t image_interval_sampling;  // non-zero: half-width, half-height disparity image
  int32_t disparity_filter;
  int32_t disparity_quality_threshold;
  int32_t disparity_uniqueness_ratio;
  int32_t disparity_lr_max_diff;
  double shift_offset;  // disparity offset magnitude
  int32_t shift_opt;    // a negative selector negates the offset
  int32_t calibrator_max_value;
  uint8_t reserved[kParameterSetReservedBytes];
};
static_assert(sizeof(tagVideoDeviceParameterSet) == 8360, "tagVideoDeviceParameterSet is 8360 bytes");
static_assert(offsetof(tagVideoDeviceParameterSet, dynamic_calibration_enable) == 8204, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, window_scale) == 8248, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, opencl_enable) == 8288, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, image_interval_sampling) == 8292, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, shift_offset) == 8312, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, reserved) == 8328, "layout");

LIBRARY_EXPORTS_END
