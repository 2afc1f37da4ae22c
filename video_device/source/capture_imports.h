// Functions of the capture library that the video device calls.
#pragma once

extern "C" {
// One exposure step on a grey image pair on the caller's thread; the exposure quality.
bool cam_exposure_process(int width, int height, unsigned char* left, unsigned char* right);
}
