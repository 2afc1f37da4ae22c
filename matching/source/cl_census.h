// GPU census cost for the CPU path: square census of both images and their Hamming costs.
#pragma once

#include "libtessaro.h"
#include "library_export.h"

// Stores the census-cost parameters and creates the census words and cost volume on the device.
// OpenCL failures raise cl::Error.
LIBRARY_EXPORT void cl_sgm_init(tagSGMParameterSet set);

// Fills `cost` (D x m x n 16-bit values, index (y x n + x) x D + d) with the census cost of the m x n
// grey images `left` and `right`, computed on the first command queue. OpenCL failures raise cl::Error.
LIBRARY_EXPORT void cl_calculate_census(unsigned short* cost, const unsigned char* left, const unsigned char* right);
