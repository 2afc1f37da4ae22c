// Steps shared by the three complete GPU pipelines: parameters, buffers, launch geometry and read-back.
#pragma once

#include <CL/opencl.hpp>
#include <cstdint>
#include <string>

#include "libtessaro.h"

constexpr unsigned kPathCount = 8;

// Which census a pipeline uses: square windows at full size, or asterisk windows at half size.
enum class ClCensusShape { kSquare, kAsterisk };

// The grid the path aggregation and the checks work on, and the path region's border.
struct tagClMatchingGrid {
  uint64_t rows;
  uint64_t columns;
  uint64_t border;  // rows and columns left outside the path region at the edges
};

// Stores the parameter items of a complete pipeline from the record (full-size m and n).
void clStorePipelineParameters(const tagSGMParameterSet& set, ClCensusShape shape);

// Stores the census, cost, disparity and check buffers for a grid of `pixels` in their variables (see
// clStoreFilledBuffer); every byte starts at zero.
void clCreateMatchingBuffers(uint64_t pixels, cl_mem_flags census_flags);

// Stores in `variable` a path buffer of `planes` planes of `pixels` cells of D+2 values, every value px + P2: the
// guards and the cells outside the path region keep it for the buffer's life.
void clStorePathBuffer(cl::Buffer& variable, uint64_t planes, uint64_t pixels);

// An image buffer holding a copy of a caller's grey image of `bytes` bytes.
cl::Buffer clCreateImageBuffer(const unsigned char* image, std::size_t bytes);

// Square census of one full-size image into its census-word buffer (16 columns per work item).
void clEnqueueSquareCensus(const cl::Buffer& words, const cl::Buffer& image);

// Arguments 0-6 of a square census cost kernel: the cost and both census buffers, m, n, D and the
// census bytes per pixel.
void clSetCensusCostArgs(cl::Kernel& kernel);

// Resets the check buffers of the grid (right cost and left minimum cost to 8 x px, right disparity
// and both flag maps to 0), covering every column, also when the width is not a multiple of 16.
void clEnqueueCheckReset(cl::Kernel& kernel, const tagClMatchingGrid& grid);

// Name of path kernel `path` of a family: variant "" (base), "Disparity32" or "Disparity16".
std::string clPathKernelName(unsigned path, const char* variant);

// Global size of path kernel `path` (0..7): one work item per scan line of the path region.
cl::NDRange clPathRange(unsigned path, const tagClMatchingGrid& grid, uint64_t disparities);

// Winner-take-all with the uniqueness test over the eight planes of the path buffer.
void clEnqueueSelection(cl::Kernel& kernel, const tagClMatchingGrid& grid);

// Right disparity map, left-right check and error-match fill of the left disparity map.
void clEnqueueConsistency(cl::Kernel& right_disparity, cl::Kernel& lr_check, cl::Kernel& fill,
                          const tagClMatchingGrid& grid);

// Blocking reads of the uniqueness flags into `err` and the disparity map into `out`.
void clReadResults(unsigned char* out, unsigned char* err, uint64_t pixels);
