// The exposure configuration record, declared here until the capture library's header is in this tree.
#pragma once

#include <cstdint>

struct tagCamExposureConfiguration {
  int32_t frame_rate;
  int32_t adjust_sec;
  int32_t exposure_time;
  int32_t exposure_level_count;
  double image_black_quality_percent;
  double image_white_quality_percent;
  double image_black_warning_percent;
  double image_white_warning_percent;
  int32_t image_out_of_service_sec;
  int32_t image_adjust_msec;
  double image_highest_black_percent;
  double image_lowest_wb_ratio;
  double image_highest_wb_ratio;
  double image_black_percentage_k;
  double image_set_point;
  double image_kp;
  double image_ki;
  double image_kd;
};
