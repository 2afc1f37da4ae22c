// Auto exposure of libkavoline: a PID control of sensor gain and integration time on the share
// of nearly black and nearly white pixels, run on an exposure thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

// The exposure configuration (120 bytes), filled from the "exposure/" configuration keys.
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
static_assert(sizeof(tagCamExposureConfiguration) == 120, "tagCamExposureConfiguration is 120 bytes");
static_assert(offsetof(tagCamExposureConfiguration, image_out_of_service_sec) == 48, "layout");
static_assert(offsetof(tagCamExposureConfiguration, image_black_percentage_k) == 80, "layout");
static_assert(offsetof(tagCamExposureConfiguration, image_kd) == 112, "layout");

extern "C" {

void cam_exposure_init(const tagCamExposureConfiguration* config, unsigned long height, unsigned long width);
// Hands a grey image pair to the exposure thread; non-zero when the exposure is not running.
int transmit_gray_image_to_exposure(unsigned char* left, unsigned char* right);
bool get_exposure_quality();
bool cam_exposure_process(int width, int height, unsigned char* left, unsigned char* right);
void cam_exposure_uninit();
void set_up_exposure(double exposure);
void set_down_exposure();
int calculatemean_value(int width, int height, int x, int y, unsigned char* image);

}  // extern "C"

LIBRARY_EXPORTS_END
