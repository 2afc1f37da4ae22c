// GPU census cost for the CPU path: set-up of its device buffers and the per-frame census and cost.
#include "cl_census.h"

#include "cl_pipeline_state.h"
#include "cl_pipeline_steps.h"
#include "cl_runtime.h"

namespace {

constexpr cl_mem_flags kCensusWordFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR | CL_MEM_HOST_NO_ACCESS;
constexpr cl_mem_flags kCostFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR | CL_MEM_HOST_READ_ONLY;

}  // namespace

void cl_sgm_init(tagSGMParameterSet set) {
  tagClPipelineParameters& p = clPipelineParameters;
  clPipelineOwner = ClPipelineOwner::kNone;
  p.m = set.image_height;
  p.n = set.image_width;
  p.disparity_min = set.disparity_min;
  p.d_range = static_cast<uint64_t>(static_cast<int64_t>(set.disparity_max) - set.disparity_min);
  p.window_scale = set.window_scale;
  p.window_side = 2 * p.window_scale + 1;
  p.census_bits = p.window_side * p.window_side;
  p.census_bytes = clSquareCensusBytes(p.window_scale);

  const std::size_t pixels = p.m * p.n;
  clStoreZeroedBuffer(clPipelineBuffers.census_left, kCensusWordFlags, p.census_bytes * pixels);
  clStoreZeroedBuffer(clPipelineBuffers.census_right, kCensusWordFlags, p.census_bytes * pixels);
  clStoreZeroedBuffer(clPipelineBuffers.cost, kCostFlags, sizeof(cl_ushort) * p.d_range * pixels);
  clPipelineOwner = ClPipelineOwner::kCensusCost;
}

void cl_calculate_census(unsigned short* cost, const unsigned char* left, const unsigned char* right) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const tagClPipelineBuffers& buffers = clPipelineBuffers;
  const std::size_t pixels = p.m * p.n;
  const cl::Buffer left_image = clCreateImageBuffer(left, pixels);
  const cl::Buffer right_image = clCreateImageBuffer(right, pixels);

  clEnqueueSquareCensus(buffers.census_left, left_image);
  clEnqueueSquareCensus(buffers.census_right, right_image);

  cl::Kernel census_cost(program, "clCalculateCensusCost");
  clSetCensusCostArgs(census_cost);
  clEnqueueRange(census_cost, cl::NDRange(p.n, p.m));

  commandQueues.front().enqueueReadBuffer(buffers.cost, CL_TRUE, 0, sizeof(cl_ushort) * p.d_range * pixels, cost);
}
