// The pipeline variables shared by the GPU pipelines, and the buffer and launch helpers they use.
#include "cl_pipeline_state.h"

#include <algorithm>

#include "cl_runtime.h"

ClPipelineOwner clPipelineOwner = ClPipelineOwner::kNone;
tagClPipelineParameters clPipelineParameters;
tagClPipelineBuffers clPipelineBuffers;
tagClPipelineKernels clPipelineKernels;

namespace {
constexpr uint64_t kBitsPerByte = 8;
}

uint64_t clSquareCensusBytes(uint64_t window_scale) {
  const uint64_t side = 2 * window_scale + 1;
  return (side * side - 1) / kBitsPerByte + 1;
}

cl::Buffer clCreateZeroedBuffer(cl_mem_flags flags, std::size_t bytes) {
  if (commandQueues.empty()) throw cl::Error(CL_INVALID_COMMAND_QUEUE, "clCreateBuffer");
  // OpenCL refuses empty buffers; an empty image still gets a valid (unused) one.
  bytes = std::max<std::size_t>(bytes, 1);
  cl::Buffer buffer(context, flags, bytes);
  const cl_uchar zero = 0;
  commandQueues.front().enqueueFillBuffer(buffer, zero, 0, bytes);
  commandQueues.front().finish();
  return buffer;
}

void clEnqueueRange(const cl::Kernel& kernel, const cl::NDRange& global, const cl::NDRange& offset) {
  if (commandQueues.empty()) throw cl::Error(CL_INVALID_COMMAND_QUEUE, "clEnqueueNDRangeKernel");
  for (cl::size_type dimension = 0; dimension < global.dimensions(); ++dimension) {
    if (global.get()[dimension] == 0) return;
  }
  commandQueues.front().enqueueNDRangeKernel(kernel, offset, global, cl::NullRange);
}
