// OpenCL hand-over points; without the OpenCL runtime they do nothing and the CPU path runs alone.
#include "opencl_seam.h"

void tessaro_opencl_init(const tagSGMParameterSet&, unsigned short*) {}

bool tessaro_opencl_census(unsigned short*, const unsigned char*, const unsigned char*) { return false; }
