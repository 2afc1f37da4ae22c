// The camera part of the service start: the device's configuration, Init, Start, and the frame callback.
#include "camera_start.h"

#include "configuration_loaders.h"
#include "disparity_shift.h"
#include "pelarin/qeltm.h"
#include "process_state.h"

namespace {
constexpr std::uint64_t kMicrosecondsPerSecond = 1000000;
constexpr int kHighWordShift = 32;
}  // namespace

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
  (void)context;
  ImagePara header = {};
  header.image_type = static_cast<std::uint32_t>(type);
  header.frame_index = static_cast<std::uint32_t>(index);
  header.width = static_cast<std::uint16_t>(width);
  header.height = static_cast<std::uint16_t>(height);
  header.data_size = static_cast<std::uint32_t>(size);
  const std::uint64_t microseconds =
      timestamp != nullptr ? static_cast<std::uint64_t>(timestamp->tv_sec) * kMicrosecondsPerSecond +
                                 static_cast<std::uint64_t>(timestamp->tv_usec)
                           : 0;
  header.timestamp_low = static_cast<std::uint32_t>(microseconds);
  header.timestamp_high = static_cast<std::uint32_t>(microseconds >> kHighWordShift);
  header.value = static_cast<std::uint8_t>(value);
  header.exposure_ok = exposure_ok ? 1 : 0;
  // A failed send loses this image only; the flag still shows that the pipeline runs.
  QELTMSendImage(&header, data, static_cast<unsigned>(size));
  g_frame_seen.store(true);
}

Result QeltSetDisparityShift(ServiceContext* context, std::int32_t step, std::uint32_t* reply_value) {
  if (context == nullptr) return RESULT_INVALID_ARGUMENT;
  return QeltSetDisparityShift(context->device, context->store, step, reply_value);
}
