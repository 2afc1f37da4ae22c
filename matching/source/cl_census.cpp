// GPU census cost for the CPU path: set-up of its device buffers and the per-frame census and cost.
#include "cl_census.h"

#include "cl_pipeline_state.h"
#include "cl_runtime.h"

namespace {

constexpr cl::size_type kColumnsPerCensusItem = 16;
constexpr cl_mem_flags kCensusWordFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR | CL_MEM_HOST_NO_ACCESS;
constexpr cl_mem_flags kCostFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR | CL_MEM_HOST_READ_ONLY;
constexpr cl_mem_flags kImageFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR | CL_MEM_COPY_HOST_PTR;

// An image buffer holding a copy of the caller's m x n grey image.
cl::Buffer UploadImage(const unsigned char* image, std::size_t bytes) {
  // The copy flag only reads the host memory.
  return cl::Buffer(context, kImageFlags, bytes, const_cast<unsigned char*>(image));
}

// Square census of one image into its census-word buffer.
void EnqueueCensus(const cl::Buffer& words, const cl::Buffer& image) {
  const tagClPipelineParameters& p = clPipelineParameters;
  cl::Kernel census(program, "clCalculateCensusWindows");
  census.setArg(0, words);
  census.setArg(1, image);
  census.setArg(2, cl_ulong{p.m});
  census.setArg(3, cl_ulong{p.n});
  census.setArg(4, cl_ulong{p.window_scale});
  clEnqueueRange(census, cl::NDRange(p.n / kColumnsPerCensusItem, p.m));
}

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
  clPipelineBuffers.census_left = clCreateZeroedBuffer(kCensusWordFlags, p.census_bytes * pixels);
  clPipelineBuffers.census_right = clCreateZeroedBuffer(kCensusWordFlags, p.census_bytes * pixels);
  clPipelineBuffers.cost = clCreateZeroedBuffer(kCostFlags, sizeof(cl_ushort) * p.d_range * pixels);
  clPipelineOwner = ClPipelineOwner::kCensusCost;
}

void cl_calculate_census(unsigned short* cost, const unsigned char* left, const unsigned char* right) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const tagClPipelineBuffers& buffers = clPipelineBuffers;
  const std::size_t pixels = p.m * p.n;
  const cl::Buffer left_image = UploadImage(left, pixels);
  const cl::Buffer right_image = UploadImage(right, pixels);

  EnqueueCensus(buffers.census_left, left_image);
  EnqueueCensus(buffers.census_right, right_image);

  cl::Kernel census_cost(program, "clCalculateCensusCost");
  census_cost.setArg(0, buffers.cost);
  census_cost.setArg(1, buffers.census_left);
  census_cost.setArg(2, buffers.census_right);
  census_cost.setArg(3, cl_ulong{p.m});
  census_cost.setArg(4, cl_ulong{p.n});
  census_cost.setArg(5, cl_ulong{p.d_range});
  census_cost.setArg(6, cl_ulong{p.census_bytes});
  clEnqueueRange(census_cost, cl::NDRange(p.n, p.m));

  commandQueues.front().enqueueReadBuffer(buffers.cost, CL_TRUE, 0, sizeof(cl_ushort) * p.d_range * pixels, cost);
}
