// Parameters, device buffers and kernels shared by the GPU pipelines; the last set-up owns them.
#pragma once

#include <CL/opencl.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "cl_runtime.h"

// Which set-up last stored into the pipeline variables.
enum class ClPipelineOwner { kNone, kCensusCost, kIntervalSampling, kNormalSampling32, kDisparity16 };

// Parameter items of the pipelines; each set-up stores those it uses.
struct tagClPipelineParameters {
  uint64_t m = 0;               // rows
  uint64_t n = 0;               // columns
  int32_t disparity_min = 0;    // kept, not used by the kernels
  uint64_t d_range = 0;         // D
  uint64_t window_scale = 0;    // r
  uint64_t window_side = 0;     // 2r + 1
  uint64_t census_bits = 0;     // bits of a census word
  uint64_t census_bytes = 0;    // bytes (planes) of a census word
  uint16_t penalty1 = 0;        // P1
  uint16_t penalty2 = 0;        // P2
  uint64_t uniqueness_ratio = 0;
  uint64_t lr_max_diff = 0;
};

// Device buffers; storing a new buffer releases the one a variable held.
struct tagClPipelineBuffers {
  cl::Buffer census_left;
  cl::Buffer census_right;
  cl::Buffer cost;
  cl::Buffer path;
  cl::Buffer disparity;
  cl::Buffer path_pairs[4];  // two path planes each, for the 16-disparity pipeline
  cl::Buffer right_cost;
  cl::Buffer right_disparity;
  cl::Buffer left_min_cost;
  cl::Buffer lr_flags;
  cl::Buffer uniqueness_flags;
};

// Kernels kept between frames by the 32-disparity pipeline.
struct tagClPipelineKernels {
  cl::Kernel clDataInitDisparity;
  cl::Kernel clCalculateCensusWindows[2];
  cl::Kernel clCalculateCensusWindowsAll;
  cl::Kernel clCalculateCensusCost32;
  cl::Kernel clCensusCostPenaltyPathDisparity32[8];
  cl::Kernel clCalculateDisparity;
  cl::Kernel clCalculateRightDisparity;
  cl::Kernel clLRCheckDisparity;
  cl::Kernel clErrMatchProcessDisparity;
};

extern ClPipelineOwner clPipelineOwner;
extern tagClPipelineParameters clPipelineParameters;
extern tagClPipelineBuffers clPipelineBuffers;
extern tagClPipelineKernels clPipelineKernels;

// Bytes of a square census word of radius r: ((2r+1)^2 - 1) / 8 + 1.
uint64_t clSquareCensusBytes(uint64_t window_scale);

// Whether `buffer` is one of `bytes` with `flags` on the current context, fit to be set up again in place.
bool clBufferFits(const cl::Buffer& buffer, cl_mem_flags flags, std::size_t bytes);

// Stores in `variable` a buffer of `bytes` with `flags` on the context, every element `pattern` before any kernel
// reads it. A buffer the variable already holds that fits is filled again instead of replaced: a repeated set-up
// with the same sizes ends as a fresh one would, without allocating device memory again.
template <typename Pattern>
void clStoreFilledBuffer(cl::Buffer& variable, cl_mem_flags flags, std::size_t bytes, Pattern pattern) {
  if (commandQueues.empty()) throw cl::Error(CL_INVALID_COMMAND_QUEUE, "clCreateBuffer");
  // OpenCL refuses empty buffers; an empty image still gets a valid (unused) one.
  bytes = std::max(bytes, sizeof(Pattern));
  if (!clBufferFits(variable, flags, bytes)) variable = cl::Buffer(context, flags, bytes);
  commandQueues.front().enqueueFillBuffer(variable, pattern, 0, bytes);
  commandQueues.front().finish();
}

// As clStoreFilledBuffer, every byte zero.
void clStoreZeroedBuffer(cl::Buffer& variable, cl_mem_flags flags, std::size_t bytes);

// Enqueues a kernel on the first queue over a 1-D or 2-D global range (null local size); a range
// with no work item enqueues nothing.
void clEnqueueRange(const cl::Kernel& kernel, const cl::NDRange& global, const cl::NDRange& offset = cl::NullRange);
