// The parameter records the service fills from its configuration, with their layouts checked.
#pragma once

#include <cstddef>

#include "cam_auto_exposure.h"
#include "pelarin/foundation.h"
#include "video_device_parameters.h"

static_assert(sizeof(tagVideoDeviceParameterSet) == 8360, "video device parameter set layout");
static_assert(offsetof(tagVideoDeviceParameterSet, calibration_file_name) == 12, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, dynamic_calibration_enable) == 8204, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, calibrate_color_image) == 8232, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, window_scale) == 8248, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, sgm_penalty1) == 8256, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, ddr_disparity_range) == 8264, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, opencl_enable) == 8288, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, image_interval_sampling) == 8292, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, shift_offset) == 8312, "layout");
static_assert(offsetof(tagVideoDeviceParameterSet, calibrator_max_value) == 8324, "layout");

static_assert(sizeof(tagCamExposureConfiguration) == 120, "exposure configuration layout");
static_assert(offsetof(tagCamExposureConfiguration, image_black_quality_percent) == 16, "layout");
static_assert(offsetof(tagCamExposureConfiguration, image_out_of_service_sec) == 48, "layout");
static_assert(offsetof(tagCamExposureConfiguration, image_highest_black_percent) == 56, "layout");
static_assert(offsetof(tagCamExposureConfiguration, image_kd) == 112, "layout");

static_assert(sizeof(tagNetworkInitPara) == 184, "network init record layout");
