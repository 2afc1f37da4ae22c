// Camera access of libkavoline: the two sensors of the stereo module through the camera HAL.
#pragma once

#include "hardware/camera_hal.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// Information record of the last camera asked (filled while opening).
extern camera_info cam_info;

int cam_hal_init(void* left_callback, void* right_callback);
int cam_hal_start_preview();
void cam_hal_stop_preview();
void cam_hal_close();
int cam_hal_get_gain_limit(int* min, int* max, int* step);
int cam_hal_get_gain(int* gain);
int cam_hal_set_gain(int gain);
int cam_hal_get_integration_time_limit(int* min, int* max, int* step);
int cam_hal_get_integration_time(int* time);
int cam_hal_set_integration_time(int time);
int cam_hal_aec_start();
int cam_hal_aec_stop();

}  // extern "C"

// The parameter text both cameras receive.
extern const char* const kCamHalParameters;

LIBRARY_EXPORTS_END
