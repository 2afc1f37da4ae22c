// Steps shared by the three complete GPU pipelines: parameters, buffers, launch geometry and read-back.
#include "cl_pipeline_steps.h"

#include <algorithm>
#include <string>

#include "cl_pipeline_state.h"
#include "cl_runtime.h"

namespace {

constexpr uint64_t kLanes = 16;           // pixels per work item of the census and reset kernels
constexpr uint64_t kAsteriskArms = 4;     // arms of an asterisk census window
constexpr uint64_t kArmChunkSamples = 4;  // radius step that adds one byte per arm (r/4 + 1 bytes)
constexpr uint64_t kResetCostFactor = 8;  // the reset cost is 8 x px
constexpr uint64_t kGuardCells = 2;       // a guard value at each end of a path cell

constexpr cl_mem_flags kResultFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR | CL_MEM_HOST_READ_ONLY;
constexpr cl_mem_flags kPathFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR;
constexpr cl_mem_flags kImageFlags = CL_MEM_READ_WRITE | CL_MEM_ALLOC_HOST_PTR | CL_MEM_COPY_HOST_PTR;

// The reset kernel writes whole blocks of 16 pixels; the buffers it writes carry a spare block so that
// the last row's rounded-up block stays inside them.
uint64_t ResetBufferElements(uint64_t pixels) { return pixels + kLanes; }

}  // namespace

void clEnqueueSquareCensus(const cl::Buffer& words, const cl::Buffer& image) {
  const tagClPipelineParameters& p = clPipelineParameters;
  cl::Kernel census(program, "clCalculateCensusWindows");
  census.setArg(0, words);
  census.setArg(1, image);
  census.setArg(2, cl_ulong{p.m});
  census.setArg(3, cl_ulong{p.n});
  census.setArg(4, cl_ulong{p.window_scale});
  clEnqueueRange(census, cl::NDRange(p.n / kLanes, p.m));
}

void clSetCensusCostArgs(cl::Kernel& kernel) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const tagClPipelineBuffers& b = clPipelineBuffers;
  kernel.setArg(0, b.cost);
  kernel.setArg(1, b.census_left);
  kernel.setArg(2, b.census_right);
  kernel.setArg(3, cl_ulong{p.m});
  kernel.setArg(4, cl_ulong{p.n});
  kernel.setArg(5, cl_ulong{p.d_range});
  kernel.setArg(6, cl_ulong{p.census_bytes});
}

void clStorePipelineParameters(const tagSGMParameterSet& set, ClCensusShape shape) {
  tagClPipelineParameters& p = clPipelineParameters;
  p.m = set.image_height;
  p.n = set.image_width;
  p.disparity_min = set.disparity_min;
  p.d_range = static_cast<uint64_t>(static_cast<int64_t>(set.disparity_max) - set.disparity_min);
  p.window_scale = set.window_scale;
  p.window_side = 2 * p.window_scale + 1;
  if (shape == ClCensusShape::kAsterisk) {
    p.census_bits = kAsteriskArms * p.window_side;
    p.census_bytes = kAsteriskArms * (p.window_scale / kArmChunkSamples + 1);
  } else {
    p.census_bits = p.window_side * p.window_side;
    p.census_bytes = clSquareCensusBytes(p.window_scale);
  }
  p.penalty1 = set.sgm_penalty1;
  p.penalty2 = set.sgm_penalty2;
  p.uniqueness_ratio = set.disparity_uniqueness_ratio;
  p.lr_max_diff = set.disparity_lr_max_diff;
}

void clCreateMatchingBuffers(uint64_t pixels, cl_mem_flags census_flags) {
  const tagClPipelineParameters& p = clPipelineParameters;
  tagClPipelineBuffers& b = clPipelineBuffers;
  const uint64_t reset = ResetBufferElements(pixels);
  clStoreZeroedBuffer(b.census_left, census_flags, p.census_bytes * pixels);
  clStoreZeroedBuffer(b.census_right, census_flags, p.census_bytes * pixels);
  clStoreZeroedBuffer(b.cost, kResultFlags, sizeof(cl_ushort) * p.d_range * pixels);
  // Zeroed: the 16-disparity selection never writes the last D columns, which are read back.
  clStoreZeroedBuffer(b.disparity, kResultFlags, pixels);
  clStoreZeroedBuffer(b.uniqueness_flags, kResultFlags, reset);
  clStoreZeroedBuffer(b.left_min_cost, kResultFlags, sizeof(cl_ushort) * reset);
  clStoreZeroedBuffer(b.right_disparity, kResultFlags, reset);
  clStoreZeroedBuffer(b.lr_flags, kResultFlags, reset);
  clStoreZeroedBuffer(b.right_cost, kResultFlags, sizeof(cl_ushort) * reset);
}

void clStorePathBuffer(cl::Buffer& variable, uint64_t planes, uint64_t pixels) {
  const tagClPipelineParameters& p = clPipelineParameters;
  // Filled on the device: the host's path-cost buffer may hold fewer planes than the device buffer.
  const std::size_t values = planes * pixels * (p.d_range + kGuardCells);
  const cl_ushort initial = static_cast<cl_ushort>(p.census_bits + p.penalty2);
  clStoreFilledBuffer(variable, kPathFlags, values * sizeof(cl_ushort), initial);
}

cl::Buffer clCreateImageBuffer(const unsigned char* image, std::size_t bytes) {
  // The copy flag only reads the host memory.
  return cl::Buffer(context, kImageFlags, bytes, const_cast<unsigned char*>(image));
}

void clEnqueueCheckReset(cl::Kernel& kernel, const tagClMatchingGrid& grid) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const tagClPipelineBuffers& b = clPipelineBuffers;
  kernel.setArg(0, b.right_cost);
  kernel.setArg(1, b.right_disparity);
  kernel.setArg(2, b.left_min_cost);
  kernel.setArg(3, b.lr_flags);
  kernel.setArg(4, b.uniqueness_flags);
  kernel.setArg(5, static_cast<cl_ushort>(kResetCostFactor * p.census_bits));
  kernel.setArg(6, cl_ulong{grid.columns});
  // Rounded up: a row whose width is not a multiple of 16 is still reset to its last column (the
  // last block runs on into the next row, or into the spare block, with the same values).
  clEnqueueRange(kernel, cl::NDRange((grid.columns + kLanes - 1) / kLanes, grid.rows));
}

std::string clPathKernelName(unsigned path, const char* variant) {
  return "clCensusCostPenaltyPath" + std::to_string(path) + variant;
}

cl::NDRange clPathRange(unsigned path, const tagClMatchingGrid& grid, uint64_t disparities) {
  const int64_t region_columns = static_cast<int64_t>(grid.columns) - 2 * static_cast<int64_t>(grid.border) -
                                 static_cast<int64_t>(disparities) + 1;
  const int64_t region_rows = static_cast<int64_t>(grid.rows) - 2 * static_cast<int64_t>(grid.border);
  // No path region at all: nothing to walk (an empty range enqueues nothing).
  if (region_columns <= 0 || region_rows <= 0) return cl::NDRange(0);
  switch (path % kPathCount) {
    case 0:
    case 4:
      return cl::NDRange(grid.rows);
    case 2:
    case 6:
      return cl::NDRange(grid.columns);
    default:
      // One work item per diagonal, plus the repeated corner diagonal the kernels expect.
      return cl::NDRange(static_cast<cl::size_type>(region_columns + region_rows));
  }
}

void clEnqueueSelection(cl::Kernel& kernel, const tagClMatchingGrid& grid) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const tagClPipelineBuffers& b = clPipelineBuffers;
  kernel.setArg(0, b.path);
  kernel.setArg(1, b.disparity);
  kernel.setArg(2, cl_ulong{grid.rows});
  kernel.setArg(3, cl_ulong{grid.columns});
  kernel.setArg(4, cl_ulong{p.d_range});
  kernel.setArg(5, cl_ulong{p.uniqueness_ratio});
  kernel.setArg(6, b.left_min_cost);
  kernel.setArg(7, b.uniqueness_flags);
  clEnqueueRange(kernel, cl::NDRange(grid.columns, grid.rows));
}

void clEnqueueConsistency(cl::Kernel& right_disparity, cl::Kernel& lr_check, cl::Kernel& fill,
                          const tagClMatchingGrid& grid) {
  const tagClPipelineParameters& p = clPipelineParameters;
  const tagClPipelineBuffers& b = clPipelineBuffers;
  const cl_ulong columns = grid.columns;
  right_disparity.setArg(0, b.left_min_cost);
  right_disparity.setArg(1, b.right_cost);
  right_disparity.setArg(2, b.disparity);
  right_disparity.setArg(3, b.right_disparity);
  right_disparity.setArg(4, columns);
  clEnqueueRange(right_disparity, cl::NDRange(grid.rows));

  lr_check.setArg(0, b.disparity);
  lr_check.setArg(1, b.right_disparity);
  lr_check.setArg(2, b.lr_flags);
  lr_check.setArg(3, columns);
  lr_check.setArg(4, cl_ulong{p.lr_max_diff});
  clEnqueueRange(lr_check, cl::NDRange(grid.columns, grid.rows));

  fill.setArg(0, b.disparity);
  fill.setArg(1, b.lr_flags);
  fill.setArg(2, columns);
  clEnqueueRange(fill, cl::NDRange(grid.columns, grid.rows));
}

void clReadResults(unsigned char* out, unsigned char* err, uint64_t pixels) {
  const tagClPipelineBuffers& b = clPipelineBuffers;
  if (pixels == 0) return;  // an empty read is an error in OpenCL
  commandQueues.front().enqueueReadBuffer(b.uniqueness_flags, CL_TRUE, 0, pixels, err);
  commandQueues.front().enqueueReadBuffer(b.disparity, CL_TRUE, 0, pixels, out);
}
