// The video device parameter set, declared here until the video device's own header is in this tree.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kCalibrationPathSize = 4096;
constexpr size_t kParameterSetReservedBytes = 32;

struct tagVideoDeviceParameterSet {
  int32_t image_width;
  int32_t image_height;
  int32_t image_frame_rate;
  char calibration_file_name[kCalibrationPathSize];
  char dynamic_calibration_file_name[kCalibrationPathSize];
  uint8_t dynamic_calibration_enable;
  int32_t dynamic_disparity_shift;
  int32_t dynamic_focal_length;
  double dynamic_stretch_factor;
  int32_t dynamic_horizontal_translation;
  int32_t dynamic_vertical_translation;
  int32_t calibrate_color_image;
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
  bool swap_camera;
  int32_t image_interval_sampling;
  int32_t disparity_filter;
  int32_t disparity_quality_threshold;
  int32_t disparity_uniqueness_ratio;
  int32_t disparity_lr_max_diff;
  double shift_offset;
  int32_t shift_opt;
  int32_t calibrator_max_value;
  uint8_t reserved[kParameterSetReservedBytes];
};
