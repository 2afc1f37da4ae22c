// The three complete GPU matching pipelines: set-up once per init, then one call per frame.
#pragma once

#include "libtessaro.h"
#include "library_export.h"

// Interval sampling, D = 32: full-size m x n images in, m/2 x n/2 disparity and uniqueness map out.
// The set-ups fill the device path planes themselves; `path_costs` is the host's filled path-cost
// buffer and is not read. OpenCL failures raise cl::Error.
LIBRARY_EXPORT void clInervalSamplingSgmInit(tagSGMParameterSet set, unsigned short* path_costs);
LIBRARY_EXPORT void clInervalSamplingSgmProcess(const unsigned char* left, const unsigned char* right, unsigned char* out,
                                 unsigned long mode, unsigned char* err);

// Normal sampling, D = 32: m x n images in, m x n disparity (0..31) and uniqueness map out; `mode` unused.
LIBRARY_EXPORT void clNormalSamplingSgmInit(tagSGMParameterSet set, unsigned short* path_costs);
LIBRARY_EXPORT void clNormalSamplingSgmProcess(const unsigned char* left, const unsigned char* right, unsigned char* out,
                                unsigned long mode, unsigned char* err);

// Normal sampling, D = 16: m x n images in, m x n disparity (0..15) and uniqueness map out.
LIBRARY_EXPORT void clSgmInitDisparity16(tagSGMParameterSet set, unsigned short* path_costs);
LIBRARY_EXPORT void clSgmProcessDisparity16(const unsigned char* left, const unsigned char* right, unsigned char* out,
                             unsigned char* err);
