// Camera HAL (version 1) as the camera access code uses it: module lookup, device operations,
// preview frame records and the sensor's vendor commands. Our own minimal declarations.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct hw_module_t;
struct hw_device_t;

// Operations every hardware module offers: opening one of its devices by id ("0", "1").
struct hw_module_methods_t {
  int (*open)(const hw_module_t* module, const char* id, hw_device_t** device);
};

struct hw_module_t {
  const char* id;
  const char* name;
  hw_module_methods_t* methods;
};

// What every opened device offers: closing it.
struct hw_device_t {
  const hw_module_t* module;
  int (*close)(hw_device_t* device);
};

// Looks a hardware module up by id ("camera"); 0 on success, negative on failure.
int hw_get_module(const char* id, const hw_module_t** module);

// Static description of one camera (48 bytes).
struct camera_info {
  int facing;
  int orientation;
  uint32_t device_version;
  const void* static_camera_characteristics;
  int resource_cost;
  char** conflicting_devices;
  size_t conflicting_devices_length;
};
static_assert(sizeof(camera_info) == 48, "camera_info is 48 bytes");

struct camera_module_t {
  hw_module_t common;
  int (*get_number_of_cameras)();
  int (*get_camera_info)(int camera_index, camera_info* info);
};

struct camera_device;

// Callback types of the device; the stand-in accepts them but calls none of them.
typedef void (*camera_notify_callback)(int32_t message, int32_t ext1, int32_t ext2, void* user);
typedef void (*camera_data_callback)(int32_t message, const void* data, unsigned int index, void* metadata,
                                     void* user);
typedef void (*camera_data_timestamp_callback)(int64_t timestamp, int32_t message, const void* data,
                                               unsigned int index, void* user);
typedef void* (*camera_request_memory)(int fd, size_t buffer_size, unsigned int buffer_count, void* user);

// The preview frame record handed to the frame function (56 bytes): two values of the HAL, the
// frame timestamp, then the Y plane and the interleaved VU plane (NV21) with their sizes.
struct camera_preview_frame {
  uint64_t value0;
  uint32_t value1;
  uint32_t reserved;
  uint64_t stamp;
  const unsigned char* y_plane;
  int32_t y_width;
  int32_t y_height;
  const unsigned char* vu_plane;
  int32_t vu_width;
  int32_t vu_height;
};
static_assert(sizeof(camera_preview_frame) == 56, "preview frame record is 56 bytes");

// The frame function passed as the user pointer of set_callbacks: called once per preview frame,
// on a thread of the HAL, with a record valid during the call.
typedef int (*camera_preview_frame_function)(camera_preview_frame* frame);

struct camera_device_ops_t {
  int (*set_parameters)(camera_device* device, const char* parameters);
  void (*set_callbacks)(camera_device* device, camera_notify_callback notify, camera_data_callback data,
                        camera_data_timestamp_callback data_timestamp, camera_request_memory get_memory,
                        void* user);
  int (*start_preview)(camera_device* device);
  void (*stop_preview)(camera_device* device);
  void (*release)(camera_device* device);
  int (*send_command)(camera_device* device, int32_t command, int32_t arg1, int32_t arg2);
};

struct camera_device {
  hw_device_t common;
  camera_device_ops_t* ops;
  void* priv;
};

}  // extern "C"

// Vendor commands of send_command: an exchange opens with kCameraCommandBegin and closes with
// kCameraCommandEnd; reads answer with the value as the call's result.
enum CameraVendorCommand : int32_t {
  kCameraCommandBegin = 1200,
  kCameraCommandGainMin = 1201,
  kCameraCommandGainMax = 1202,
  kCameraCommandGainStep = 1203,
  kCameraCommandGetGain = 1204,
  kCameraCommandSetGain = 1205,
  kCameraCommandTimeMin = 1206,
  kCameraCommandTimeMax = 1207,
  kCameraCommandTimeStep = 1208,
  kCameraCommandGetTime = 1209,
  kCameraCommandSetTime = 1210,
  kCameraCommandAecOn = 1226,
  kCameraCommandAecOff = 1227,
  kCameraCommandEnd = 2400,
};

constexpr const char* kCameraModuleId = "camera";
