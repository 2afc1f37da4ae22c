// Functions of the capture library that the video device calls: paired capture and auto exposure.
#pragma once

#include <cstdint>

struct tagCamExposureConfiguration;

// One camera frame as the paired capture hands it out.
struct cam_frame_t {
  uint64_t hal_value0;
  uint32_t hal_value1;
  uint32_t unused;
  uint64_t stamp;
  unsigned char* y_plane;
  int32_t y_width;
  int32_t y_height;
  unsigned char* vu_plane;
  int32_t vu_width;
  int32_t vu_height;
};
static_assert(sizeof(cam_frame_t) == 56, "cam_frame_t is 56 bytes");

extern "C" {
// Paired frame capture.
int cam_init();
int cam_start();
void cam_stop();
bool cam_dqbuf(cam_frame_t* left, cam_frame_t* right);
int cam_qbuf(cam_frame_t* left, cam_frame_t* right);

// Auto exposure.
void cam_exposure_init(const tagCamExposureConfiguration* config, unsigned long height, unsigned long width);
void cam_exposure_uninit();
int transmit_gray_image_to_exposure(unsigned char* left, unsigned char* right);
bool get_exposure_quality();
// One exposure step on a grey image pair on the caller's thread; the exposure quality.
bool cam_exposure_process(int width, int height, unsigned char* left, unsigned char* right);
}
