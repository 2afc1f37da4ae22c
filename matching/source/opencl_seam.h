// Where the CPU matcher hands over to the OpenCL code: set-up at init, GPU frames and the GPU census cost.
#pragma once

#include "libtessaro.h"

// Sets up OpenCL and the GPU pipeline that suits the parameters (called by libtessaro_init). With the OpenCL
// flag set, a failure is reported and ends the process; with it clear, a failure is logged, no pipeline is left
// set up and the frames go to the CPU path.
void tessaro_opencl_init(const tagSGMParameterSet& set, unsigned short* path_costs);

// The OpenCL start-up that tessaro_opencl_init runs: clInit over every platform and device. Tests point it at a
// start-up that fails.
extern void (*tessaro_opencl_startup)(unsigned long platform_mask, unsigned long device_mask);

// Runs one frame on the complete GPU pipeline that the current mode and disparity range select, writing
// out and the uniqueness error map. Returns false when no such pipeline is set up, so the CPU path runs.
bool tessaro_opencl_process(unsigned char* out, const unsigned char* left, const unsigned char* right);

// Fills the cost volume on the GPU (called by sgm_n_path when the OpenCL flag is set).
// Returns false when no GPU census is available, so the CPU census runs instead.
bool tessaro_opencl_census(unsigned short* cost, const unsigned char* left, const unsigned char* right);
