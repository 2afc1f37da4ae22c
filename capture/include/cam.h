// Paired frame capture of libkavoline: double-buffered frame slots and the left/right dequeue.
#pragma once

#include <cstddef>
#include <cstdint>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

// One camera frame (56 bytes); also the record the camera HAL hands to the frame callbacks.
struct cam_frame_t {
  uint64_t hal_value0;
  uint32_t hal_value1;
  uint32_t reserved;
  uint64_t stamp;
  unsigned char* y_plane;
  int32_t y_width;
  int32_t y_height;
  unsigned char* vu_plane;
  int32_t vu_width;
  int32_t vu_height;
};
static_assert(sizeof(cam_frame_t) == 56, "cam_frame_t is 56 bytes");
static_assert(offsetof(cam_frame_t, stamp) == 16, "layout");
static_assert(offsetof(cam_frame_t, y_plane) == 24, "layout");
static_assert(offsetof(cam_frame_t, vu_plane) == 40, "layout");
static_assert(offsetof(cam_frame_t, vu_height) == 52, "layout");

constexpr int kCamFrameWidth = 640;
constexpr int kCamFrameHeight = 480;
constexpr size_t kCamPlaneBytes = static_cast<size_t>(kCamFrameWidth) * kCamFrameHeight;

// A frame slot: a frame record whose planes always point at the slot's own buffers.
struct FrameSlot {
  int filled;
  cam_frame_t frame;
  unsigned char y_buffer[kCamPlaneBytes];
  unsigned char vu_buffer[kCamPlaneBytes];
};

extern "C" {

extern FrameSlot* s_read_left;
extern FrameSlot* s_read_right;
extern FrameSlot* s_write_left;
extern FrameSlot* s_write_right;

int cam_init();
int cam_start();
void cam_stop();
bool cam_dqbuf(cam_frame_t* left, cam_frame_t* right);
int cam_qbuf(cam_frame_t* left, cam_frame_t* right);
int cam_left_frame_callback(cam_frame_t* frame);
int cam_right_frame_callback(cam_frame_t* frame);

}  // extern "C"

LIBRARY_EXPORTS_END
