// The frame callback through which the video device hands out its finished images.
#pragma once

#include <sys/time.h>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

// Image types passed to the callback.
enum StereoImageType : int {
  kStereoImageLeftGray = 1,   // rectified left grey image (hand-off module only)
  kStereoImageRightGray = 2,  // rectified right grey image (hand-off module only)
  kStereoImageColour = 3,     // colour image, planar YUV 4:2:0
  kStereoImageDisparity = 5,  // disparity image, one byte per pixel
};

// Called for every finished image; data and timestamp are valid only during the call.
// index: frame number (1 for the first frame); value: error-match value of a disparity image.
typedef void (*StereoFrameCallback)(int type, int width, int height, unsigned long size, const unsigned char* data,
                                    unsigned long index, const timeval* timestamp, int value, bool exposure_ok,
                                    void* context);

LIBRARY_EXPORTS_END
