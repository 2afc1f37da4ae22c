// Image hand-off module: a producer fills six fixed slots, a thread of the module runs the exposure
// step on the grey pair, switches the LEDs and hands every filled slot to a frame callback.
#pragma once

#include "stereo_frame_callback.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// Allocates the five slot buffers for the given colour and grey sizes; 0 or RESULT_OUT_OF_MEMORY.
int StereoImageProcessInit(int colour_width, int colour_height, int grey_width, int grey_height);

// Starts the hand-off thread delivering to callback; 0, or RESULT_FAILED when the thread cannot
// start or one is already running (stop it with StereoImageProcessUnInit first).
int StereoImageThreadStart(StereoFrameCallback callback);

// Copies the non-null images into their slots (left grey, right grey, depth with its value,
// colour); an image whose slot has no buffer is skipped. Always 0.
int SendImageProcess(unsigned char* colour, unsigned char* grey_left, unsigned char* grey_right, unsigned char* depth,
                     unsigned char value, unsigned int sequence);

// Stops the hand-off thread and waits for it, then frees every slot buffer. Must not be called
// from the frame callback.
void StereoImageProcessUnInit();

}  // extern "C"

LIBRARY_EXPORTS_END
