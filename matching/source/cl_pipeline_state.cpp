// The pipeline variables shared by the GPU pipelines, and the buffer and launch helpers they use.
#include "cl_pipeline_state.h"

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

bool clBufferFits(const cl::Buffer& buffer, cl_mem_flags flags, std::size_t bytes) {
  if (buffer() == nullptr) return false;
  try {
    return buffer.getInfo<CL_MEM_CONTEXT>()() == context() && buffer.getInfo<CL_MEM_SIZE>() == bytes &&
           buffer.getInfo<CL_MEM_FLAGS>() == flags;
  } catch (const cl::Error&) {
    return false;  // a buffer the runtime no longer answers for is replaced
  }
}

void clStoreZeroedBuffer(cl::Buffer& variable, cl_mem_flags flags, std::size_t bytes) {
  clStoreFilledBuffer(variable, flags, bytes, cl_uchar{0});
}

void clEnqueueRange(const cl::Kernel& kernel, const cl::NDRange& global, const cl::NDRange& offset) {
  if (commandQueues.empty()) throw cl::Error(CL_INVALID_COMMAND_QUEUE, "clEnqueueNDRangeKernel");
  for (cl::size_type dimension = 0; dimension < global.dimensions(); ++dimension) {
    if (global.get()[dimension] == 0) return;
  }
  commandQueues.front().enqueueNDRangeKernel(kernel, offset, global, cl::NullRange);
}
