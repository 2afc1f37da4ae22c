// The camera part of the service start: the device's configuration, Init, Start, and the frame callback.
#pragma once

#include <cstdint>

#include "platform/file_configuration_manager.h"
#include "platform/result.h"
#include "disparity_shift.h"
#include "service_context.h"
#include "stereo_video_deivce.h"

// Loads the video-device and exposure records (the exposure preset first), then Init and Start
// with FrameCallback. A failed Start is followed by Deinit. The failing step's code.
Result StartCamera(FileConfigurationManagerPtr store, StereoVideoDeivce* device);
// Stops the capture and releases the device.
void StopCamera(StereoVideoDeivce* device);

// The capture thread's callback: hands the image on and marks that a frame was seen.
void FrameCallback(int type, int width, int height, unsigned long size, const unsigned char* data,
                   unsigned long index, const timeval* timestamp, int value, bool exposure_ok, void* context);

// Command 204 on the service's device and store: see the device template in disparity_shift.h.
Result QeltSetDisparityShift(ServiceContext* context, std::int32_t step, std::uint32_t* reply_value);
