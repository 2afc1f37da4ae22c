// The camera part of the service start: the device's configuration, Init, Start, and the frame callback.
#include "camera_start.h"

#include "configuration_loaders.h"
#include "disparity_shift.h"
#include "process_state.h"

Result StartCamera(FileConfigurationManagerPtr store, StereoVideoDeivce* device) {
  if (device == nullptr) return RESULT_INVALID_ARGUMENT;
  tagVideoDeviceParameterSet video_set = {};
  Result result = LoadVideoDeviceConfiguration(store, &video_set);
  if (result != RESULT_OK) return result;
  tagCamExposureConfiguration exposure = {};
  PresetExposureConfiguration(&exposure);
  result = LoadExposureConfiguration(store, &exposure);
  if (result != RESULT_OK) return result;
  result = DeviceResult(device->Init(&video_set, &exposure));
  if (result != RESULT_OK) return result;
  result = DeviceResult(device->Start(FrameCallback, device));
  if (result != RESULT_OK) device->Deinit();
  return result;
}

void StopCamera(StereoVideoDeivce* device) {
  if (device == nullptr) return;
  device->Stop();
  device->Deinit();
}

void FrameCallback(int type, int width, int height, unsigned long size, const unsigned char* data,
                   unsigned long index, const timeval* timestamp, int value, bool exposure_ok, void* context) {
  (void)type, (void)width, (void)height, (void)size, (void)data, (void)index, (void)timestamp, (void)value,
      (void)exposure_ok, (void)context;
  // SEAM: the image header and QELTMSendImage go here once the network service is linked.
  g_frame_seen.store(true);
}

Result QeltSetDisparityShift(ServiceContext* context, std::int32_t step, std::uint32_t* reply_value) {
  if (context == nullptr) return RESULT_INVALID_ARGUMENT;
  return QeltSetDisparityShift(context->device, context->store, step, reply_value);
}
